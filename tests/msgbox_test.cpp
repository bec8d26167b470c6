#include "msgbox/MessageBox.h"
#include "screens/ScreenKit.h"

#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <QWidget>

#include <gtest/gtest.h>

#include <cstdio>

using namespace tallyquill;

namespace {

TEST(MessageSeam, RecorderCollectsAndRestoresThePreviousSink)
{
    std::vector<QString> outer;
    SetMessageSink([&](const Message& m) { outer.push_back(m.text); });
    {
        MessageRecorder rec;
        ShowMessage("inner", "Error", MsgIcon::Warning);
        ASSERT_EQ(rec.messages().size(), 1u);
        EXPECT_EQ(rec.messages()[0].title, "Error");
        EXPECT_EQ(rec.messages()[0].icon, MsgIcon::Warning);
    }
    ShowMessage("outer", "Error", MsgIcon::Information);
    SetMessageSink({});
    EXPECT_EQ(outer, std::vector<QString>{"outer"});
}

TEST(MessageSeam, GuiHostGetsAModalBoxWithOkAndItsIcon)
{
    QString seenText, seenTitle;
    QMessageBox::Icon seenIcon = QMessageBox::NoIcon;
    bool hadOk = false;
    QTimer::singleShot(0, [&] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible()) {
                seenText = box->text();
                seenTitle = box->windowTitle();
                seenIcon = box->icon();
                hadOk = box->button(QMessageBox::Ok) != nullptr;
                box->accept();
            }
    });
    ShowMessage(QStringLiteral("没有提供DSN"), QStringLiteral("错误"), MsgIcon::Warning);
    EXPECT_EQ(seenText, QStringLiteral("没有提供DSN"));
    EXPECT_EQ(seenTitle, QStringLiteral("错误"));
    EXPECT_EQ(seenIcon, QMessageBox::Warning);
    EXPECT_TRUE(hadOk);
}

TEST(Pointer, BusyAndNormal)
{
    QWidget w;
    screenkit::BusyPointer(&w);
    EXPECT_EQ(w.cursor().shape(), Qt::WaitCursor);
    screenkit::NormalPointer(&w);
    EXPECT_EQ(w.cursor().shape(), Qt::ArrowCursor);
    screenkit::BusyPointer(nullptr);  // no screen: nothing to do, no crash
}

} // namespace
