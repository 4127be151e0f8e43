#pragma once

#include <QString>

// The introspection data of the app's object: the <interface> elements of the
// automation action, org.freedesktop.Application and the instance hand-over.
// The action carries annotations that automation front ends read to list it:
// its title, the parameters' titles, defaults and description, the summary
// sentence, and the position type with its nine display titles in order.
namespace AutomationInterfaceXml {

// Prefix of the annotation names, e.g. "<prefix>Title".
QString annotationPrefix();

QString interfacesXml();

} // namespace AutomationInterfaceXml
