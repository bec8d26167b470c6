#pragma once

#include "tallyquill/export.h"
#include <QString>

#include <functional>
#include <vector>

namespace tallyquill {

enum class MsgIcon { None, Warning, Information, Critical };

struct Message {
    QString text;
    QString title;
    MsgIcon icon;
};

using MessageSink = std::function<void(const Message&)>;

// Shows a modal message box with an OK button when a QApplication runs on this
// thread; otherwise writes "title: text" as one line to stderr, so that a host
// without a GUI never blocks.
void ShowMessage(const QString& text, const QString& title, MsgIcon icon);

// Replaces where messages go (an empty sink restores the default); answers
// the previous sink.
MessageSink SetMessageSink(MessageSink sink);

// The default's headless branch, usable as a sink on its own.
void WriteMessageToStderr(const Message& message);

// While it lives, the messages shown on the thread that made it go to it
// instead of a box, a sink or stderr: for callers that hand the reason to
// their own caller (the C interface's tq_error). Nests.
class ThreadMessageCapture {
public:
    ThreadMessageCapture();
    ~ThreadMessageCapture();
    ThreadMessageCapture(const ThreadMessageCapture&) = delete;
    ThreadMessageCapture& operator=(const ThreadMessageCapture&) = delete;

    const std::vector<Message>& messages() const { return messages_; }

private:
    friend void ShowMessage(const QString&, const QString&, MsgIcon);
    std::vector<Message> messages_;
    ThreadMessageCapture* outer_;
};

// Collects every message shown while it lives.
class MessageRecorder {
public:
    MessageRecorder();
    ~MessageRecorder();
    MessageRecorder(const MessageRecorder&) = delete;
    MessageRecorder& operator=(const MessageRecorder&) = delete;

    const std::vector<Message>& messages() const { return messages_; }
    QStringList texts() const;
    void clear() { messages_.clear(); }

private:
    std::vector<Message> messages_;
    MessageSink previous_;
};

} // namespace tallyquill
