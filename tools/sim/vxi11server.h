#pragma once

#include <QHostAddress>
#include <QObject>
#include <QTcpServer>
#include <QUdpSocket>

namespace kestrel::sim
{

class InstrumentServer;

// One instrument over VXI-11: a portmapper on ADDRESS:111, over TCP and UDP, that knows
// the core channel only, and the core channel on a free port of the same address. Its
// links feed the same instrument, fault counter and log as the raw socket does.
class Vxi11Server : public QObject
{
    Q_OBJECT

  public:
    explicit Vxi11Server(InstrumentServer& instrument, QObject* parent = nullptr);

    static constexpr quint16 portmapperPort = 111;

    // False, with *error, when a port cannot be opened; *denied tells whether the
    // system refused it to this user (port 111 is for root only).
    bool listen(const QHostAddress& address, quint16 portmapper, QString* error, bool* denied);
    quint16 corePort() const { return core_.serverPort(); }

    long newLinkId() { return nextLinkId_++; }

  private:
    void acceptPortmapperClients();
    void acceptCoreClients();
    void readPortmapperDatagrams();
    QByteArray answerPortmapper(const QByteArray& message) const;

    InstrumentServer& instrument_;
    QTcpServer portmapperTcp_;
    QUdpSocket portmapperUdp_;
    QTcpServer core_;
    long nextLinkId_ = 1;
};

} // namespace kestrel::sim
