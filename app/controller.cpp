#include "app/controller.h"

#include "link/serial_port.h"

Controller::Controller(std::unique_ptr<SerialPort> port, QObject *parent)
    : SwitcherSession(std::move(port), parent)
    , m_view(*this)
{
    setView(&m_view);
}

Controller::~Controller()
{
    setView(nullptr);
}
