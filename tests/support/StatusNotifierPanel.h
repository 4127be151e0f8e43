#pragma once

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QMutex>
#include <QObject>
#include <QStringList>
#include <QVariantMap>

// A stand-in for a desktop panel that hosts tray items: the
// org.kde.StatusNotifierWatcher that apps register their item with, and a
// reader of an item's menu through com.canonical.dbusmenu, the way a panel
// reads it when the user opens it.

// One node of a dbusmenu layout.
struct MenuNode {
    int id = 0;
    QVariantMap properties;
    QList<MenuNode> children;

    // "Title [Control+,]" for each visible child, "---" for a separator.
    QStringList describe() const;
    // The id of the child with this label, -1 when none has it.
    int idOf(const QString &label) const;
};

MenuNode parseMenuNode(const QDBusArgument &arg);

class StatusNotifierWatcher final : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ isHostRegistered)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ registeredItems)
public:
    // Takes the watcher's name and object on this connection; false when
    // another program holds the name.
    bool registerOn(QDBusConnection connection);

    bool isHostRegistered() const { return true; }
    int protocolVersion() const { return 0; }
    QStringList registeredItems() const
    {
        const QMutexLocker lock(&m_mutex);
        return m_items;
    }

    // The last registered item's bus name and object path (empty until an
    // item registers). Safe to ask from any thread.
    QString itemService() const;
    QString itemPath() const;

    // The item's menu as the user would open it (AboutToShow, then GetLayout).
    // Calls wait in a local event loop, so an item served by the calling
    // thread still answers.
    MenuNode readMenu() const;
    // What a click on the menu entry `id` sends.
    void click(int id) const;
    // A property of the item (org.kde.StatusNotifierItem).
    QVariant itemProperty(const QString &name) const;

public Q_SLOTS:
    void RegisterStatusNotifierItem(const QString &serviceOrPath, const QDBusMessage &message);
    void RegisterStatusNotifierHost(const QString &) {}

Q_SIGNALS:
    void StatusNotifierItemRegistered(const QString &item);
    void StatusNotifierItemUnregistered(const QString &item);
    void StatusNotifierHostRegistered();

private:
    QDBusMessage call(const QString &path, const QString &iface, const QString &member, const QVariantList &args) const;
    QString menuPath() const;

    QDBusConnection m_connection{QString()};
    mutable QMutex m_mutex;
    QString m_itemService, m_itemPath;
    QStringList m_items;
};
