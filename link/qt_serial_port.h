#pragma once

#include "link/port_table.h"
#include "link/serial_port.h"

#include <QSerialPort>

// The serial port on a real machine: QSerialPort behind the port table.
class QtSerialPort : public QObject, public SerialPort
{
    Q_OBJECT
public:
    explicit QtSerialPort(PortTable table, QObject *parent = nullptr);
    ~QtSerialPort() override;

    bool setCommPort(int number) override;
    int commPort() const override { return m_number; }
    bool setSettings(const QString &settings) override;
    bool setDtrEnable(bool enable) override;

    bool open() override;
    bool close() override;
    bool isOpen() const override { return m_port.isOpen(); }

    bool write(const QByteArray &bytes) override;
    std::optional<int> bytesWaiting() override;
    std::optional<QByteArray> readAll() override;

    QString errorString() const override { return m_error; }
    bool lastErrorWasPermission() const override { return m_permissionError; }
    QList<int> portNumbers() const override { return m_table.numbers(); }
    QString deviceName() const override { return m_table.device(m_number); }

private:
    void onError(QSerialPort::SerialPortError error);
    bool fail(const QString &why);

    PortTable m_table;
    QSerialPort m_port;
    int m_number = 1;
    qint32 m_baud = 9600;
    QSerialPort::Parity m_parity = QSerialPort::NoParity;
    QSerialPort::DataBits m_dataBits = QSerialPort::Data8;
    QSerialPort::StopBits m_stopBits = QSerialPort::OneStop;
    bool m_dtr = false;
    QString m_error;
    bool m_permissionError = false;
};
