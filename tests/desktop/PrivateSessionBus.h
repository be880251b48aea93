#pragma once

#include <QString>

#include <memory>
#include <string>

#include "tests/app/ChildProcess.h"

namespace vorn::test {

// A session bus of the test's own: dbus-daemon listening on a socket in
// `folder`, stopped with the object. The Qt application object the desktop
// classes need is made once per test program, by the first bus.
class PrivateSessionBus {
public:
    explicit PrivateSessionBus(const std::string& folder);

    // "unix:path=...", as DBUS_SESSION_BUS_ADDRESS takes it; empty when the
    // daemon did not come up.
    const QString& Address() const { return address_; }
    std::string Environment() const { return "DBUS_SESSION_BUS_ADDRESS=" + address_.toStdString(); }

private:
    std::unique_ptr<ChildProcess> daemon_;
    QString address_;
};

}  // namespace vorn::test
