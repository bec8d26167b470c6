#include "screens/frmLogDetail.h"

#include "screens/ScreenKit.h"
#include "localize/clsLocalize.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextOption>

namespace tallyquill {

using namespace screenkit;

frmLogDetail::frmLogDetail(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("frmLogDetail"));
    auto* grid = new QGridLayout(this);
    for (int i = 0; i < kShortFields; ++i) {
        lblDetail[i] = new QLabel(this);
        lblDetail[i]->setObjectName(QStringLiteral("lblDetail%1").arg(i));
        // Titles are the host's texts: shown as they are, never as markup.
        lblDetail[i]->setTextFormat(Qt::PlainText);
        txtDetail[i] = new QLineEdit(this);
        txtDetail[i]->setObjectName(QStringLiteral("txtDetail%1").arg(i));
        txtDetail[i]->setReadOnly(true);
        labelFor(lblDetail[i], txtDetail[i]);
        grid->addWidget(lblDetail[i], i, 0);
        grid->addWidget(txtDetail[i], i, 1);
    }
    lblDetailActivity = new QLabel(this);
    lblDetailActivity->setObjectName(QStringLiteral("lblDetailActivity"));
    lblDetailActivity->setTextFormat(Qt::PlainText);
    lblDetailActivity->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    txtDetailActivity = new QPlainTextEdit(this);
    txtDetailActivity->setObjectName(QStringLiteral("txtDetailActivity"));
    txtDetailActivity->setReadOnly(true);
    txtDetailActivity->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    // Text without spaces (Chinese, long identifiers) still wraps.
    txtDetailActivity->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    txtDetailActivity->setTabChangesFocus(true);
    labelFor(lblDetailActivity, txtDetailActivity);
    grid->addWidget(lblDetailActivity, kShortFields, 0);
    grid->addWidget(txtDetailActivity, kShortFields, 1);
    grid->setRowStretch(kShortFields, 1);
    grid->setColumnStretch(1, 1);

    cmdClose = control<QPushButton>(this, "cmdClose", "Close", 803);
    cmdClose->setAutoDefault(false);
    auto* buttons = new QDialogButtonBox(this);
    buttons->addButton(cmdClose, QDialogButtonBox::RejectRole);
    grid->addWidget(buttons, kShortFields + 1, 0, 1, 2);
    connect(cmdClose, &QPushButton::clicked, this, &QDialog::close);

    // About sixty characters across, five lines of activity.
    const QFontMetrics m(font());
    txtDetailActivity->setMinimumHeight(m.lineSpacing() * 5 + 2 * txtDetailActivity->frameWidth() + 8);
    resize(m.averageCharWidth() * 60, sizeHint().height());
    Localizer()->LocalizeFormControl(this);
}

void frmLogDetail::showRecord(const std::vector<Field>& fields)
{
    const std::size_t shortCount = fields.empty() ? 0 : fields.size() - 1;
    for (int i = 0; i < kShortFields; ++i) {
        const bool shown = std::size_t(i) < shortCount;
        lblDetail[i]->setVisible(shown);
        txtDetail[i]->setVisible(shown);
        lblDetail[i]->setText(shown ? fields[std::size_t(i)].title : QString());
        txtDetail[i]->setText(shown ? fields[std::size_t(i)].text : QString());
        txtDetail[i]->setCursorPosition(0);
        nameAfter(txtDetail[i], {lblDetail[i]});
    }
    lblDetailActivity->setText(fields.empty() ? QString() : fields.back().title);
    txtDetailActivity->setPlainText(fields.empty() ? QString() : fields.back().text);
    nameAfter(txtDetailActivity, {lblDetailActivity});
}

} // namespace tallyquill
