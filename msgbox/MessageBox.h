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
