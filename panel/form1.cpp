#include "panel/form1.h"

#include "core/texts.h"
#include "panel/panel_button.h"

#include <QCloseEvent>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QShortcut>

namespace {
// The status window's design, in twips at 12 per pixel.
constexpr int ClientWidth = 5184 / 12;
constexpr int ClientHeight = 1440 / 12;
} // namespace

Form1::Form1(QWidget *parent)
    : QWidget(parent)
{
    setWindowTitle(QString::fromLatin1(Texts::StatusTitle));
    setWindowIcon(QIcon(QStringLiteral(":/icon.ico")));
    setFixedSize(ClientWidth, ClientHeight);

    m_text1 = new QLineEdit(QStringLiteral("Text1"), this);
    m_text1->setGeometry(1530 / 12, 2190 / 12, 1630 / 12, 300 / 12);
    m_label1 = new QLabel(QStringLiteral("Label1"), this);
    m_label1->setGeometry(240 / 12, 450 / 12, 4605 / 12, 285 / 12);

    // A screen reader reads the waiting text without the dots that move
    // every 0.7 s, and the tooltip's reason as its description. The text
    // box lies below the client area by design, out of sight.
    installPanelAccessibility();
    m_label1->setAccessibleName(QString::fromLatin1(Texts::WaitAtStart).trimmed());
    hideFromAssistiveTools(m_text1);

    auto *quit = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q), this);
    connect(quit, &QShortcut::activated, this, &Form1::closeRequested);
}

void Form1::closeEvent(QCloseEvent *event)
{
    event->accept();
    emit closeRequested();
}
