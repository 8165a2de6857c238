#pragma once

#include <QWidget>

class QLabel;
class QLineEdit;

// The status window: the start window, shown with its waiting text while no
// switcher answers. It is a view; the controller drives it.
class Form1 : public QWidget
{
    Q_OBJECT
public:
    explicit Form1(QWidget *parent = nullptr);

    // The waiting text.
    QLabel &label1() { return *m_label1; }
    // Lies below the visible client area; the port search writes the number
    // of the port it tried there.
    QLineEdit &text1() { return *m_text1; }

signals:
    // The window was asked to close, by any means; closing it ends the program.
    void closeRequested();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    QLabel *m_label1 = nullptr;
    QLineEdit *m_text1 = nullptr;
};
