#pragma once

#include "panel/panel_view.h"
#include "session/switcher_session.h"

#include <memory>

class Form1;
class Form3;
class SerialPort;

// The program on a screen: the switcher session with its two windows as its
// view.
class Controller : public SwitcherSession
{
    Q_OBJECT
public:
    explicit Controller(std::unique_ptr<SerialPort> port, QObject *parent = nullptr);
    ~Controller() override;

    Form1 &statusWindow() { return m_view.statusWindow(); }
    Form3 &panel() { return m_view.panel(); }

private:
    PanelView m_view;
};
