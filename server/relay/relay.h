// The UDP relay: its own thread, its own socket on the lobby's port.
#pragma once

#include "server/relay/relaycore.h"
#include "server/core/routes.h"

#include <QHostAddress>
#include <QString>

#include <memory>

class Relay
{
public:
    explicit Relay(RouteExchange& exchange, RelayBudget budget = {});
    ~Relay();
    Relay(const Relay&) = delete;
    Relay& operator=(const Relay&) = delete;

    // Binds the socket; the thread starts with start().
    bool open(const QHostAddress& address, quint16 port, QString* error);
    quint16 port() const;
    // A second port whose sealed heartbeats only say where a member's NAT
    // maps another destination; before start(). 0: none open.
    bool openMapping(const QHostAddress& address, quint16 port, QString* error);
    quint16 mappingPort() const;
    void start();
    // Stops the thread and closes the socket; safe to call twice.
    void stop();
    // Tests: while held, the thread stops at its next wake-up and beats no more.
    void holdForTest(bool held);

private:
    struct Impl;
    std::unique_ptr<Impl> d_;
};
