// The desktop's notification service as the tests' private session bus sees it: owns
// org.freedesktop.Notifications and appends each Notify call to the file named by its
// first argument, one line of tab-separated fields: application, replaced id, icon,
// summary, body (line breaks as "\n"), the desktop-entry hint, the urgency hint.
// With "silent" as second argument it records each call and never answers. Prints
// "ready" once the name is its own.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusContext>
#include <QFile>
#include <QStringList>
#include <QVariantMap>

#include <cstdio>

class Notifications : public QObject, protected QDBusContext {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

 public:
  Notifications(const QString& record, bool silent) : record_(record), silent_(silent) {}

 public slots:
  uint Notify(const QString& app, uint replaces, const QString& icon, const QString& summary, const QString& body,
              const QStringList& /*actions*/, const QVariantMap& hints, int /*timeout*/) {
    QString text = body;
    text.replace(QLatin1Char('\n'), QLatin1String("\\n"));
    const QStringList fields{app, QString::number(replaces), icon, summary, text,
                             hints.value(QStringLiteral("desktop-entry")).toString(),
                             QString::number(hints.value(QStringLiteral("urgency")).toInt())};
    QFile file(record_);
    if (file.open(QIODevice::Append)) file.write((fields.join(QLatin1Char('\t')) + QLatin1Char('\n')).toUtf8());
    if (silent_) setDelayedReply(true);
    return ++last_id_;
  }

 private:
  QString record_;
  bool silent_;
  uint last_id_ = 0;
};

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  if (argc < 2) return 2;
  Notifications service(QString::fromLocal8Bit(argv[1]), argc > 2 && qstrcmp(argv[2], "silent") == 0);
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &service,
                          QDBusConnection::ExportAllSlots) ||
      !bus.registerService(QStringLiteral("org.freedesktop.Notifications"))) {
    std::fprintf(stderr, "cannot serve notifications: %s\n", bus.lastError().message().toLocal8Bit().constData());
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  return app.exec();
}

#include "notify_recorder.moc"
