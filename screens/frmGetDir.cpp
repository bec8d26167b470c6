#include "screens/frmGetDir.h"

#include "screens/ScreenKit.h"
#include "localize/StringIds.h"
#include "localize/clsLocalize.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStorageInfo>

#include <algorithm>

namespace tallyquill {

using namespace screenkit;

namespace {
constexpr int kPathRole = Qt::UserRole;
} // namespace

// --- Directory list ----------------------------------------------------------------

DirListBox::DirListBox(QWidget* parent) : QListWidget(parent)
{
    connect(this, &QListWidget::itemActivated, this, [this](QListWidgetItem* item) { open(item); });
    setPath(QDir::currentPath());
}

bool DirListBox::setPath(const QString& path)
{
    const QDir dir(path);
    if (!dir.exists() || !dir.isReadable())
        return false;
    const QString absolute = QDir::cleanPath(dir.absolutePath());
    const QStringList subdirs =
        QDir(absolute).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase);

    // Ancestors from the root down, each one step further in.
    QStringList chain;
    for (QDir up(absolute);; ) {
        chain.prepend(QDir::cleanPath(up.absolutePath()));
        if (up.isRoot() || !up.cdUp())
            break;
    }
    clear();
    int depth = 0;
    auto add = [this](const QString& full, const QString& name, int indent) {
        auto* item = new QListWidgetItem(QString(indent * 2, QLatin1Char(' ')) + name, this);
        item->setData(kPathRole, full);
        return item;
    };
    for (const QString& p : chain) {
        const QString name = depth == 0 ? QDir::toNativeSeparators(p) : QDir(p).dirName();
        QListWidgetItem* item = add(p, name, depth++);
        if (p == absolute)
            setCurrentItem(item);
    }
    for (const QString& s : subdirs)
        add(QDir(absolute).filePath(s), s, depth);

    const bool changed = absolute != path_;
    path_ = absolute;
    if (changed && onChange)
        onChange();
    return true;
}

void DirListBox::keyPressEvent(QKeyEvent* event)
{
    // Enter opens the directory and stops here: passed on, it would also
    // press the chooser's default button and close it after one step.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        open(currentItem());
        event->accept();
        return;
    }
    QListWidget::keyPressEvent(event);
}

void DirListBox::open(QListWidgetItem* item)
{
    if (item)
        setPath(item->data(kPathRole).toString());
}

// --- Chooser -------------------------------------------------------------------------

namespace {
// Left for the life of the process: deleting widgets after the application
// object is gone is not safe.
frmGetDir* sharedChooser = nullptr;
} // namespace

frmGetDir& frmGetDir::Shared()
{
    if (sharedChooser && sharedChooser->discarded_) {
        delete sharedChooser;
        sharedChooser = nullptr;
    }
    if (!sharedChooser) {
        sharedChooser = new frmGetDir;
        sharedChooser->Form_Load();
    }
    return *sharedChooser;
}

frmGetDir::frmGetDir()
{
    setObjectName(QStringLiteral("frmGetDir"));
    setWindowTitle(QStringLiteral("Select a Directory"));
    setTag(this, sid::SelectDirectory);
    const Twips tw(FontScale(this));
    setFixedSize(tw.px(4350), tw.px(3225));
    auto place = [&tw](QWidget* w, int left, int top, int width, int height) {
        tw.place(w, left, top, width, height);
    };

    lblDir = new QLabel(QStringLiteral("Directory"), this);
    lblDir->setObjectName(QStringLiteral("lblDir"));
    setTag(lblDir, sid::ChooserDirectory);
    place(lblDir, 120, 120, 900, 255);
    txtDirectory = new QLineEdit(this);
    txtDirectory->setObjectName(QStringLiteral("txtDirectory"));
    place(txtDirectory, 1095, 120, 3120, 285);
    Dir1 = new DirListBox(this);
    Dir1->setObjectName(QStringLiteral("Dir1"));
    place(Dir1, 120, 600, 4095, 1665);
    Drive1 = new QComboBox(this);
    Drive1->setObjectName(QStringLiteral("Drive1"));
    place(Drive1, 120, 2400, 1575, 315);
    cmdOK = new QPushButton(QStringLiteral("OK"), this);
    cmdOK->setObjectName(QStringLiteral("cmdOK"));
    setTag(cmdOK, sid::ChooserOK);
    place(cmdOK, 3000, 2760, 1215, 330);

    QWidget* const order[] = {Dir1, txtDirectory, lblDir, Drive1, cmdOK};
    tabOrder(order);
    labelFor(lblDir, txtDirectory);
    Dir1->setFocus();

    fillDrives();
    Dir1->onChange = [this] { Dir1_Change(); };
    connect(Drive1, &QComboBox::currentIndexChanged, this, [this] { Drive1_Change(); });
    connect(cmdOK, &QPushButton::clicked, this, [this] { cmdOK_Click(); });
}

void frmGetDir::fillDrives()
{
    // The mounted volumes, the root first; the one holding the current
    // directory is selected.
    QStringList roots;
    for (const QStorageInfo& v : QStorageInfo::mountedVolumes())
        if (v.isValid() && !roots.contains(v.rootPath()))
            roots << v.rootPath();
    const QString root = QDir::rootPath();
    std::sort(roots.begin(), roots.end(), [&root](const QString& a, const QString& b) {
        return a == root ? b != root : b == root ? false : a < b;
    });
    if (!roots.contains(root))
        roots.prepend(root);
    for (const QString& r : roots)
        Drive1->addItem(QDir::toNativeSeparators(r), r);
    Drive1->setCurrentIndex(std::max(0, Drive1->findData(QStorageInfo(Dir1->path()).rootPath())));
}

void frmGetDir::Form_Load()
{
    txtDirectory->setText(Dir1->path());
    Localizer()->LocalizeFormControl(this);
    WidenCaptions(this);
    nameAfter(txtDirectory, {lblDir});
    nameAfter(Dir1, {lblDir});
}

void frmGetDir::Drive1_Change()
{
    // A volume has no current directory of its own here: the one holding the
    // process's current directory answers that, any other its root.
    const QString root = Drive1->currentData().toString();
    const QString current = QDir::currentPath();
    const QString target = QStorageInfo(current).rootPath() == root ? current : root;
    // A volume that cannot be read leaves the list where it was.
    Dir1->setPath(target);
}

void frmGetDir::Dir1_Change() { txtDirectory->setText(Dir1->path()); }

void frmGetDir::cmdOK_Click() { accept(); }

void frmGetDir::closeEvent(QCloseEvent* event)
{
    QDialog::closeEvent(event);
    if (event->isAccepted())
        discarded_ = true;
}

void frmGetDir::keyPressEvent(QKeyEvent* event)
{
    // No cancel button: Escape must not close the chooser behind OK's back.
    if (event->key() == Qt::Key_Escape) {
        event->ignore();
        return;
    }
    QDialog::keyPressEvent(event);
}

} // namespace tallyquill
