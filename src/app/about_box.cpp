// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/about_box.h"

#include "app/icons.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QEvent>
#include <QFileInfo>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#ifdef MEROVAN_DOC_HOST
namespace {
const char kGuidePathAndQuery[] = "/index.php5?title=Merovan_User_Guide";
}
#endif

QUrl documentationUrl()
{
    return documentationUrl(QCoreApplication::applicationDirPath());
}

QUrl documentationUrl(const QString& exeDir)
{
#ifdef MEROVAN_DOC_HOST
    Q_UNUSED(exeDir);
    return QUrl(QStringLiteral("http://") + QStringLiteral(MEROVAN_DOC_HOST) + QLatin1String(kGuidePathAndQuery));
#else
    const QStringList candidates {
        exeDir + QStringLiteral("/../share/doc/merovan/user-guide.html"),
        QStringLiteral(MEROVAN_BUILD_DOC_DIR "/user-guide.html"),
    };
    for (const QString& path : candidates) {
        if (QFileInfo::exists(path))
            return QUrl::fromLocalFile(QFileInfo(path).canonicalFilePath());
    }
    return QUrl::fromLocalFile(candidates.front());
#endif
}

TAboutBox::TAboutBox(QWidget* parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("TAboutBox"));
    setWindowTitle(QStringLiteral("About"));
    setModal(true);

    auto* panel = new QFrame(this);
    panel->setFrameShape(QFrame::Panel);
    panel->setFrameShadow(QFrame::Sunken);
    auto* icon = new QLabel(panel);
    icon->setObjectName(QStringLiteral("ProgramIcon"));
    icon->setPixmap(makeButtonIcon(ButtonIcon::Program).pixmap(48, 48));

    auto* name = new QLabel(QStringLiteral("Merovan"), panel);
    name->setObjectName(QStringLiteral("ProductName"));
    QFont big = name->font();
    big.setPointSize(big.pointSize() + 6);
    big.setBold(true);
    name->setFont(big);

    m_label1 = new QLabel(QStringLiteral("Documentation and help"), panel);
    m_label1->setObjectName(QStringLiteral("Label1"));
    m_label1->setStyleSheet(QStringLiteral("color: blue; text-decoration: underline;"));
    m_label1->setCursor(Qt::PointingHandCursor);
    m_label1->installEventFilter(this);

    const QUrl url = documentationUrl();
    auto* label2 = new QLabel(url.isLocalFile() ? QStringLiteral("User guide on this computer") : url.host(), panel);
    label2->setObjectName(QStringLiteral("Label2"));
    auto* notice = new QLabel(QStringLiteral("Release " MEROVAN_VERSION ". A serial terminal for microcontroller boards."), panel);
    notice->setObjectName(QStringLiteral("Copyright"));
    auto* comment = new QLabel(QStringLiteral("Terminal, text and binary upload, boot loading and scripts."), panel);
    comment->setObjectName(QStringLiteral("Comments"));
    comment->setWordWrap(true);

    auto* grid = new QVBoxLayout(panel);
    auto* top = new QHBoxLayout;
    top->addWidget(icon);
    top->addWidget(name, 1);
    grid->addLayout(top);
    grid->addWidget(m_label1);
    grid->addWidget(label2);
    grid->addWidget(notice);
    grid->addWidget(comment);

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("OKButton"));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(panel);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(ok);
    buttons->addStretch(1);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

bool TAboutBox::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_label1 && event->type() == QEvent::MouseButtonRelease) {
        Label1Click();
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

void TAboutBox::Label1Click()
{
    // Whether a browser opened is not reported.
    QDesktopServices::openUrl(documentationUrl());
}
