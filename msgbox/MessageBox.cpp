#include "msgbox/MessageBox.h"

#include <QApplication>
#include <QMessageBox>
#include <QThread>

#include <cstdio>

namespace tallyquill {

namespace {
MessageSink& currentSink()
{
    static MessageSink sink;
    return sink;
}
thread_local ThreadMessageCapture* threadCapture = nullptr;
} // namespace

ThreadMessageCapture::ThreadMessageCapture() : outer_(threadCapture) { threadCapture = this; }
ThreadMessageCapture::~ThreadMessageCapture() { threadCapture = outer_; }

void WriteMessageToStderr(const Message& message)
{
    const QByteArray line = (message.title + QStringLiteral(": ") + message.text).toUtf8();
    std::fprintf(stderr, "%s\n", line.constData());
    std::fflush(stderr);
}

void ShowMessage(const QString& text, const QString& title, MsgIcon icon)
{
    const Message message{text, title, icon};
    if (threadCapture) {
        threadCapture->messages_.push_back(message);
        return;
    }
    if (const MessageSink& sink = currentSink()) {
        sink(message);
        return;
    }
    auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
    if (!app || QThread::currentThread() != app->thread()) {
        WriteMessageToStderr(message);
        return;
    }
    const QMessageBox::Icon boxIcon = icon == MsgIcon::Warning       ? QMessageBox::Warning
                                      : icon == MsgIcon::Information ? QMessageBox::Information
                                      : icon == MsgIcon::Critical    ? QMessageBox::Critical
                                                                     : QMessageBox::NoIcon;
    QMessageBox box(boxIcon, title, text, QMessageBox::Ok, QApplication::activeWindow());
    box.exec();
}

MessageSink SetMessageSink(MessageSink sink)
{
    MessageSink previous = std::move(currentSink());
    currentSink() = std::move(sink);
    return previous;
}

MessageRecorder::MessageRecorder()
    : previous_(SetMessageSink([this](const Message& m) { messages_.push_back(m); }))
{
}

MessageRecorder::~MessageRecorder() { SetMessageSink(std::move(previous_)); }

QStringList MessageRecorder::texts() const
{
    QStringList out;
    for (const Message& m : messages_)
        out << m.text;
    return out;
}

} // namespace tallyquill
