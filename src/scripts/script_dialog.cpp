// SPDX-License-Identifier: GPL-3.0-or-later
#include "scripts/script_dialog.h"

#include "app/icons.h"
#include "app/main_window.h"
#include "dialogs/dialog_parts.h"
#include "dialogs/recent_list.h"
#include "scripts/script_store.h"
#include "serial/serial_port.h"
#include "serial/text_expansion.h"
#include "settings/ini_file.h"

#include <QComboBox>
#include <QEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QToolButton>
#include <QVBoxLayout>

#include <cstdio>

using dialog_parts::named;

namespace {

constexpr char kSection[] = "ScriptFORM";
constexpr char kFilter[] = "SCR files (*.scr *.SCR);;All files (*)";

// The memo holds lines; script files keep them with CR LF.
std::string memoBytes(const QPlainTextEdit* memo)
{
    return recent_list::toBytes(memo->toPlainText().replace(QLatin1Char('\n'), QLatin1String("\r\n")));
}

QString memoText(const std::string& stored)
{
    return recent_list::fromBytes(stored).replace(QLatin1String("\r\n"), QLatin1String("\n"));
}

QToolButton* imageButton(QWidget* parent, const char* name, const char* tip, const QString& glyph)
{
    auto* b = named(new QToolButton(parent), name);
    if (tip)
        b->setToolTip(QLatin1String(tip));
    b->setText(glyph);
    b->setFixedSize(25, 25);
    return b;
}

} // namespace

Tfrm_script::Tfrm_script(Tfrm_Main& main)
    : QDialog(&main)
    , m_main(main)
{
    setObjectName(QStringLiteral("Tfrm_script"));
    setWindowTitle(QStringLiteral("Scripts"));
    setModal(false);

    GroupBox1 = named(new QGroupBox(QStringLiteral("Select script file"), this), "GroupBox1");
    cbo_filename = named(new QComboBox(GroupBox1), "cbo_filename");
    cbo_filename->setEditable(true);
    cbo_filename->setInsertPolicy(QComboBox::NoInsert);
    cbo_filename->setMinimumContentsLength(30);
    SpeedButton2 = named(new QToolButton(GroupBox1), "SpeedButton2");
    SpeedButton2->setToolTip(QStringLiteral("Clear all Items"));
    SpeedButton2->setIcon(makeButtonIcon(ButtonIcon::Clear));
    btn_browse = named(new QPushButton(QStringLiteral("Browse"), GroupBox1), "btn_browse");
    auto* fileRow = new QHBoxLayout(GroupBox1);
    fileRow->addWidget(cbo_filename, 1);
    fileRow->addWidget(SpeedButton2);
    fileRow->addWidget(btn_browse);

    Label1 = named(new QLabel(QStringLiteral("Script description -- Enter to define new script"), this), "Label1");
    cbo_script = named(new QComboBox(this), "cbo_script");
    cbo_script->setEditable(true);
    cbo_script->setInsertPolicy(QComboBox::NoInsert);
    apd_add = imageButton(this, "apd_add", nullptr, QStringLiteral("+"));
    SpeedButton1 = imageButton(this, "SpeedButton1", nullptr, QStringLiteral("\u2212"));
    spd_update = imageButton(this, "spd_update", "Update script text", QStringLiteral("\u2713"));
    spd_rename = imageButton(this, "spd_rename", "Rename script (keeps its text)", QStringLiteral("\u270e"));
    mmo_script = named(new QPlainTextEdit(this), "mmo_script");
    mmo_script->setLineWrapMode(QPlainTextEdit::NoWrap);
    mmo_script->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    mmo_script->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);

    auto* reminders = new QVBoxLayout;
    const char* const labels[][2] = { { "Label2", "\\n = 10" },
                                       { "Label3", "\\r = 13" },
                                       { "Label4", "\\e = 27" },
                                       { "Label5", "\\# comment" },
                                       { "Label6", "\\w<n> wait" } };
    for (const auto& l : labels)
        reminders->addWidget(named(new QLabel(QLatin1String(l[1]), this), l[0]));
    reminders->addStretch(1);

    Button1 = named(new QPushButton(QStringLiteral("Close"), this), "Button1");
    btn_send = named(new QPushButton(QStringLiteral("Send"), this), "btn_send");
    Panel1 = named(new QLabel(this), "Panel1");
    Panel1->setFrameShape(QFrame::Panel);
    Panel1->setFrameShadow(QFrame::Sunken);
    Panel1->setMinimumHeight(18);
    Panel1->installEventFilter(this);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(GroupBox1);
    layout->addWidget(Label1);
    auto* nameRow = new QHBoxLayout;
    nameRow->addWidget(cbo_script, 1);
    nameRow->addWidget(apd_add);
    nameRow->addWidget(SpeedButton1);
    nameRow->addWidget(spd_update);
    nameRow->addWidget(spd_rename);
    layout->addLayout(nameRow);
    auto* body = new QHBoxLayout;
    body->addWidget(mmo_script, 1);
    body->addLayout(reminders);
    layout->addLayout(body, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(btn_send);
    buttons->addStretch(1);
    buttons->addWidget(Button1);
    layout->addLayout(buttons);
    layout->addWidget(Panel1);
    resize(420, 360);

    m_chooseFile = [this](int& filterIndex) { return dialog_parts::browseForFile(this, kFilter, filterIndex, false); };

    merovan::IniFile ini(main.settingsPath());
    ini.load();
    const auto top = ini.readInteger(kSection, "Top", main.y() + 125);
    const auto left = ini.readInteger(kSection, "Left", main.x() + 125);
    move(static_cast<int>(left), static_cast<int>(top));
    recent_list::restore(cbo_filename, ini, kSection, "ScriptFileNames", "FileNamesIndex", true);
    m_filterIndex = static_cast<int>(ini.readInteger(kSection, "Filter", 0));
    if (!cbo_filename->currentText().isEmpty()) {
        reloadScriptNames(cbo_filename->currentText());
        selectFirstAndShow();
    }

    connect(cbo_filename, &QComboBox::currentTextChanged, this, &Tfrm_script::cbo_filenameChange);
    connect(cbo_script, &QComboBox::currentTextChanged, this, &Tfrm_script::cbo_scriptChange);
    connect(mmo_script, &QPlainTextEdit::textChanged, this, &Tfrm_script::mmo_scriptChange);
    connect(btn_browse, &QPushButton::clicked, this, &Tfrm_script::btn_browseClick);
    connect(SpeedButton2, &QToolButton::clicked, this, &Tfrm_script::SpeedButton2Click);
    connect(apd_add, &QToolButton::clicked, this, &Tfrm_script::apd_addClick);
    connect(SpeedButton1, &QToolButton::clicked, this, &Tfrm_script::SpeedButton1Click);
    connect(spd_update, &QToolButton::clicked, this, &Tfrm_script::spd_updateClick);
    connect(spd_rename, &QToolButton::clicked, this, &Tfrm_script::spd_renameClick);
    connect(btn_send, &QPushButton::clicked, this, &Tfrm_script::btn_sendClick);
    connect(Button1, &QPushButton::clicked, this, &Tfrm_script::Button1Click);

    main.setDialog(Tfrm_Main::Dialog::Script, this, this);
    main.addSendButton(btn_send);
}

void Tfrm_script::saveSettings(merovan::IniFile& ini) const
{
    const QPoint corner = dialog_parts::keptCorner(*this, m_main);
    ini.writeInteger(kSection, "Top", corner.y());
    ini.writeInteger(kSection, "Left", corner.x());
    recent_list::save(cbo_filename, ini, kSection, "FileNamesIndex", "FileNamesCount", "ScriptFileNames");
    ini.writeInteger(kSection, "Filter", m_filterIndex);
}

void Tfrm_script::setFileChooser(std::function<QString(int&)> chooser)
{
    m_chooseFile = std::move(chooser);
}

std::string Tfrm_script::fileBytes() const
{
    return recent_list::toBytes(cbo_filename->currentText());
}

std::string Tfrm_script::nameBytes() const
{
    return recent_list::toBytes(cbo_script->currentText());
}

void Tfrm_script::reloadScriptNames(const QString& file)
{
    const auto names = merovan::readScriptNames(recent_list::toBytes(file));
    if (!names)
        return; // the list stays as it was
    const QSignalBlocker quiet(cbo_script);
    cbo_script->clear();
    cbo_script->setEditText(QString());
    QStringList sorted;
    for (const std::string& name : *names)
        sorted.push_back(recent_list::fromBytes(name));
    sorted.sort(Qt::CaseSensitive);
    cbo_script->addItems(sorted);
    cbo_script->setCurrentIndex(sorted.isEmpty() ? -1 : 0);
    if (sorted.isEmpty())
        cbo_script->setEditText(QString());
    cbo_script->setToolTip(cbo_script->currentText());
}

void Tfrm_script::showScriptText(const QString& file, const QString& name)
{
    // A name that is not stored (yet) keeps what the user has written.
    if (name.isEmpty())
        return;
    const auto text = merovan::getScriptText(recent_list::toBytes(file), recent_list::toBytes(name));
    if (!text)
        return;
    m_storedName = name;
    mmo_script->setPlainText(memoText(*text));
}

void Tfrm_script::selectFirstAndShow()
{
    if (cbo_script->count() > 0) {
        const QSignalBlocker quiet(cbo_script);
        cbo_script->setCurrentIndex(0);
    }
    if (!cbo_script->currentText().isEmpty())
        showScriptText(cbo_filename->currentText(), cbo_script->currentText());
}

void Tfrm_script::cbo_filenameChange()
{
    recent_list::updateFileHint(cbo_filename);
    m_storedName.clear();
    if (cbo_filename->currentText().isEmpty())
        return;
    reloadScriptNames(cbo_filename->currentText());
    selectFirstAndShow();
}

void Tfrm_script::btn_browseClick()
{
    const QString chosen = m_chooseFile(m_filterIndex);
    if (chosen.isEmpty())
        return;
    const std::string path = recent_list::toBytes(chosen);
    if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
        std::fclose(f);
        // Only a script file joins the list: anything else could be
        // written over by the next add or update.
        std::string why;
        if (!merovan::isScriptFile(path, &why)) {
            m_main.showMessage(QStringLiteral("%1 is not a script file (%2)").arg(chosen, recent_list::fromBytes(why)));
            return;
        }
        {
            const QSignalBlocker quiet(cbo_filename);
            recent_list::appendAndSelect(cbo_filename, chosen);
        }
        cbo_filename->setToolTip(chosen);
        m_storedName.clear();
        reloadScriptNames(cbo_filename->currentText());
        selectFirstAndShow();
        return;
    }
    std::string created = path;
    merovan::addDefaultExtension(created);
    if (!merovan::createScriptFile(created)) {
        m_main.showMessage(chosen + QStringLiteral(" !! cant create ths file"));
        return;
    }
    m_main.showMessage(QStringLiteral("New file created"));
    {
        const QSignalBlocker quiet(cbo_filename);
        recent_list::appendAndSelect(cbo_filename, recent_list::fromBytes(created));
    }
    cbo_filename->setToolTip(chosen);
    reloadScriptNames(cbo_filename->currentText());
}

void Tfrm_script::SpeedButton2Click()
{
    recent_list::clear(cbo_filename);
}

void Tfrm_script::cbo_scriptChange()
{
    showScriptText(cbo_filename->currentText(), cbo_script->currentText());
}

void Tfrm_script::mmo_scriptChange()
{
    // Once edited, the memo stays aqua for the rest of the run.
    QPalette p = mmo_script->palette();
    p.setColor(QPalette::Base, QColor(0, 255, 255));
    mmo_script->setPalette(p);
}

void Tfrm_script::apd_addClick()
{
    const QString name = cbo_script->currentText();
    if (name.isEmpty()) {
        m_main.showMessage(QStringLiteral("Script name is blank!!"));
        return;
    }
    const auto say = [this](const std::string& m) { m_main.showMessage(recent_list::fromBytes(m)); };
    if (!merovan::addScript(fileBytes(), nameBytes(), memoBytes(mmo_script), say))
        return;
    {
        const QSignalBlocker quiet(cbo_script);
        cbo_script->addItem(name);
        QStringList items;
        for (int i = 0; i < cbo_script->count(); ++i)
            items.push_back(cbo_script->itemText(i));
        items.sort(Qt::CaseSensitive);
        cbo_script->clear();
        cbo_script->addItems(items);
        cbo_script->setCurrentIndex(static_cast<int>(items.indexOf(name)));
    }
    Panel1->setText(QStringLiteral("Item added: ") + cbo_script->currentText());
}

void Tfrm_script::SpeedButton1Click()
{
    const auto say = [this](const std::string& m) { m_main.showMessage(recent_list::fromBytes(m)); };
    merovan::removeScript(fileBytes(), nameBytes(), say);
    {
        const QSignalBlocker quiet(cbo_script);
        cbo_script->clear();
        cbo_script->setEditText(QString());
    }
    reloadScriptNames(cbo_filename->currentText());
    selectFirstAndShow();
    if (cbo_script->currentText().isEmpty()) {
        mmo_script->clear();
        m_storedName.clear();
    }
}

void Tfrm_script::spd_updateClick()
{
    // A typed name is no selected position, even where Qt keeps the old one.
    int position = cbo_script->currentIndex();
    if (position >= 0 && cbo_script->itemText(position) != cbo_script->currentText())
        position = -1;
    const auto say = [this](const std::string& m) { m_main.showMessage(recent_list::fromBytes(m)); };
    merovan::updateScript(fileBytes(), nameBytes(), memoBytes(mmo_script), say);
    const QString name = cbo_script->currentText();
    {
        const QSignalBlocker quiet(cbo_script);
        cbo_script->clear();
        cbo_script->setEditText(QString());
    }
    reloadScriptNames(cbo_filename->currentText());
    {
        const QSignalBlocker quiet(cbo_script);
        // A new name was added: show it rather than whatever sorts at the old place.
        const int at = position >= 0 ? position : cbo_script->findText(name);
        cbo_script->setCurrentIndex(at < cbo_script->count() ? at : -1);
    }
    if (!cbo_script->currentText().isEmpty())
        showScriptText(cbo_filename->currentText(), cbo_script->currentText());
}

void Tfrm_script::spd_renameClick()
{
    const QString to = cbo_script->currentText();
    if (to.isEmpty()) {
        m_main.showMessage(QStringLiteral("Script name is blank!!"));
        return;
    }
    if (m_storedName.isEmpty()) {
        m_main.showMessage(QStringLiteral("Choose a stored script, then type its new name"));
        return;
    }
    const QString from = m_storedName;
    if (from == to)
        return; // a stored name typed again is that script itself
    const auto say = [this](const std::string& m) { m_main.showMessage(recent_list::fromBytes(m)); };
    if (!merovan::renameScript(fileBytes(), recent_list::toBytes(from), recent_list::toBytes(to), say))
        return;
    m_storedName = to;
    {
        // The memo keeps its text, edited or not.
        const QSignalBlocker quiet(cbo_script);
        reloadScriptNames(cbo_filename->currentText());
        cbo_script->setCurrentIndex(cbo_script->findText(to));
    }
    Panel1->setText(QStringLiteral("Item renamed: %1 to %2").arg(from, to));
}

void Tfrm_script::btn_sendClick()
{
    // Sent in the window's charset; what the file keeps is not touched.
    QString dropped;
    const std::string text
        = m_main.encodeText(mmo_script->toPlainText().replace(QLatin1Char('\n'), QLatin1String("\r\n")), &dropped);
    if (!dropped.isEmpty())
        Panel1->setText(QStringLiteral("Not sent, no Latin-1 byte for: ") + dropped);
    m_main.sendText(text);
}

void Tfrm_script::Panel1Click()
{
    const auto say = [this](const std::string& m) { m_main.showMessage(recent_list::fromBytes(m)); };
    merovan::addScript(fileBytes(), nameBytes(), "script details for new script 1", say);
}

void Tfrm_script::Button1Click()
{
    m_main.spd_scriptClick();
}

bool Tfrm_script::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == Panel1 && event->type() == QEvent::MouseButtonRelease) {
        Panel1Click();
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

void Tfrm_Main::sendText(const std::string& text)
{
    if (!m_port.isOpen()) {
        showMessage(QStringLiteral("COM port not open"));
        return;
    }
    char echo[2048];
    const std::size_t n = merovan::sendExpandedText(m_port, text, echo);
    kickStatus();
    Show_text(RichEdit1, std::span(reinterpret_cast<const std::uint8_t*>(echo), n));
}
