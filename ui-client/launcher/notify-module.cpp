// libquenvale-notify.so: the one call that needs Qt's D-Bus (see modules.h).
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QStringList>
#include <QVariantMap>

#include "modules.h"

extern "C" bool qv_notify_send(const NotifyCall* call, QString* error) {
  const QString name = QStringLiteral("qv-desktop-notice");
  // libdbus aborts the process on what it takes for a caller's bug, which Qt 5.15 commits
  // when a bus refuses the connection; a notification must never end the launcher. Set
  // once the client runs, so that it does not inherit this.
  if (!qEnvironmentVariableIsSet("DBUS_FATAL_WARNINGS")) qputenv("DBUS_FATAL_WARNINGS", "0");
  bool sent = false;
  {
    QDBusConnection bus = QDBusConnection::connectToBus(call->address, name);
    if (!bus.isConnected()) {
      *error =
          QStringLiteral("cannot connect to the session bus '%1': %2").arg(call->address, bus.lastError().message());
    } else {
      QDBusMessage message = QDBusMessage::createMethodCall(
          QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/freedesktop/Notifications"),
          QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
      QVariantMap hints;
      hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("quenvale-drive"));
      hints.insert(QStringLiteral("urgency"), QVariant::fromValue<uchar>(call->urgency));
      message << call->app_name << 0u << QStringLiteral("quenvale-drive") << call->summary << call->body
              << QStringList() << hints << -1;
      const QDBusMessage reply = bus.call(message, QDBus::Block, call->reply_ms);
      sent = reply.type() == QDBusMessage::ReplyMessage;
      if (!sent) *error = reply.errorName() + QStringLiteral(": ") + reply.errorMessage();
    }
  }
  QDBusConnection::disconnectFromBus(name);
  return sent;
}
