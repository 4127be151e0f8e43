#include "support/StatusNotifierPanel.h"

#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QEventLoop>
#include <QTimer>
#include <QDBusVariant>

namespace {
const QString kItemInterface = QStringLiteral("org.kde.StatusNotifierItem");
const QString kMenuInterface = QStringLiteral("com.canonical.dbusmenu");
const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");
} // namespace

QStringList MenuNode::describe() const
{
    QStringList out;
    for (const MenuNode &child : children) {
        if (!child.properties.value(QStringLiteral("visible"), true).toBool())
            continue;
        if (child.properties.value(QStringLiteral("type")).toString() == QLatin1String("separator")) {
            out << QStringLiteral("---");
            continue;
        }
        QString line = child.properties.value(QStringLiteral("label")).toString();
        if (!child.properties.value(QStringLiteral("enabled"), true).toBool())
            line += QStringLiteral(" (disabled)");
        const QVariant shortcut = child.properties.value(QStringLiteral("shortcut"));
        if (shortcut.isValid()) {
            QStringList keys;
            const QDBusArgument arg = shortcut.value<QDBusArgument>();
            arg.beginArray();
            while (!arg.atEnd()) {
                QStringList chord;
                arg >> chord;
                keys << chord.join(u'+');
            }
            arg.endArray();
            line += QStringLiteral(" [") + keys.join(u' ') + u']';
        }
        out << line;
    }
    return out;
}

int MenuNode::idOf(const QString &label) const
{
    for (const MenuNode &child : children) {
        if (child.properties.value(QStringLiteral("label")).toString() == label)
            return child.id;
    }
    return -1;
}

MenuNode parseMenuNode(const QDBusArgument &arg)
{
    MenuNode node;
    arg.beginStructure();
    arg >> node.id >> node.properties;
    arg.beginArray();
    while (!arg.atEnd()) {
        QDBusVariant child;
        arg >> child;
        node.children << parseMenuNode(child.variant().value<QDBusArgument>());
    }
    arg.endArray();
    arg.endStructure();
    return node;
}

bool StatusNotifierWatcher::registerOn(QDBusConnection connection)
{
    m_connection = connection;
    return connection.registerService(QStringLiteral("org.kde.StatusNotifierWatcher"))
           && connection.registerObject(QStringLiteral("/StatusNotifierWatcher"), this,
                                        QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties
                                            | QDBusConnection::ExportAllSignals);
}

void StatusNotifierWatcher::RegisterStatusNotifierItem(const QString &serviceOrPath, const QDBusMessage &message)
{
    const QMutexLocker lock(&m_mutex);
    // The argument is a bus name, or an object path on the caller's name.
    if (serviceOrPath.startsWith(u'/')) {
        m_itemService = message.service();
        m_itemPath = serviceOrPath;
    } else {
        m_itemService = serviceOrPath;
        m_itemPath = QStringLiteral("/StatusNotifierItem");
    }
    m_items << m_itemService + m_itemPath;
    Q_EMIT StatusNotifierItemRegistered(m_itemService + m_itemPath);
}

QString StatusNotifierWatcher::itemService() const
{
    const QMutexLocker lock(&m_mutex);
    return m_itemService;
}

QString StatusNotifierWatcher::itemPath() const
{
    const QMutexLocker lock(&m_mutex);
    return m_itemPath;
}

QDBusMessage StatusNotifierWatcher::call(const QString &path, const QString &iface, const QString &member,
                                         const QVariantList &args) const
{
    QDBusMessage m = QDBusMessage::createMethodCall(itemService(), path, iface, member);
    m.setArguments(args);
    QDBusPendingCallWatcher watch(m_connection.asyncCall(m, 20000));
    if (!watch.isFinished()) {
        QEventLoop loop;
        QObject::connect(&watch, &QDBusPendingCallWatcher::finished, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return watch.reply();
}

QVariant StatusNotifierWatcher::itemProperty(const QString &name) const
{
    const QDBusMessage reply = call(itemPath(), kProperties, QStringLiteral("Get"), {kItemInterface, name});
    return reply.arguments().value(0).value<QDBusVariant>().variant();
}

QString StatusNotifierWatcher::menuPath() const
{
    return itemProperty(QStringLiteral("Menu")).value<QDBusObjectPath>().path();
}

MenuNode StatusNotifierWatcher::readMenu() const
{
    const QString path = menuPath();
    if (path.isEmpty())
        return {};
    call(path, kMenuInterface, QStringLiteral("AboutToShow"), {0});
    const QDBusMessage layout = call(path, kMenuInterface, QStringLiteral("GetLayout"), {0, -1, QStringList()});
    if (layout.type() != QDBusMessage::ReplyMessage || layout.arguments().size() < 2)
        return {};
    return parseMenuNode(layout.arguments().at(1).value<QDBusArgument>());
}

void StatusNotifierWatcher::click(int id) const
{
    QDBusMessage event = QDBusMessage::createMethodCall(itemService(), menuPath(), kMenuInterface, QStringLiteral("Event"));
    event.setArguments({id, QStringLiteral("clicked"), QVariant::fromValue(QDBusVariant(0)), 0u});
    m_connection.send(event);
}
