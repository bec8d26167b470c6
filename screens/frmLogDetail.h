#pragma once

// The viewer screen's current record read whole: each shown field under its
// column's title, the activity wrapped over several lines. Every text can be
// selected and copied; nothing can be changed.

#include <QDialog>
#include <QString>

#include <vector>

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace tallyquill {

class frmLogDetail : public QDialog {
public:
    struct Field {
        QString title;
        QString text;
    };
    static constexpr int kShortFields = 6;  // date, time and the four optional ones

    explicit frmLogDetail(QWidget* parent = nullptr);

    // One record's fields in the grid's order; the last is the activity.
    void showRecord(const std::vector<Field>& fields);

    QLabel* lblDetail[kShortFields];
    QLineEdit* txtDetail[kShortFields];
    QLabel* lblDetailActivity;
    QPlainTextEdit* txtDetailActivity;
    QPushButton* cmdClose;
};

} // namespace tallyquill
