#include "intent/AutomationInterfaceXml.h"

#include "hud/HUDOutcome.h"
#include "hud/HUDPosition.h"
#include "hud/HUDScreen.h"
#include "intent/BusNames.h"
#include "intent/DisplayMessageIntent.h"

#include <QXmlStreamWriter>

namespace {

struct Arg {
    const char *name;
    const char *type;
};

class Writer {
public:
    explicit Writer(QString *out) : m_xml(out) { m_xml.setAutoFormatting(true); }

    void beginInterface(const QString &name) { begin("interface", name); }
    void beginMethod(const QString &name) { begin("method", name); }
    void end() { m_xml.writeEndElement(); }

    void beginArg(const char *name, const char *type, const char *direction = "in")
    {
        m_xml.writeStartElement(QStringLiteral("arg"));
        m_xml.writeAttribute(QStringLiteral("name"), QString::fromLatin1(name));
        m_xml.writeAttribute(QStringLiteral("type"), QString::fromLatin1(type));
        m_xml.writeAttribute(QStringLiteral("direction"), QString::fromLatin1(direction));
    }
    void arg(const char *name, const char *type)
    {
        beginArg(name, type);
        end();
    }
    void annotation(const QString &key, const QString &value)
    {
        m_xml.writeEmptyElement(QStringLiteral("annotation"));
        m_xml.writeAttribute(QStringLiteral("name"), AutomationInterfaceXml::annotationPrefix() + key);
        m_xml.writeAttribute(QStringLiteral("value"), value);
    }

private:
    void begin(const char *element, const QString &name)
    {
        m_xml.writeStartElement(QString::fromLatin1(element));
        m_xml.writeAttribute(QStringLiteral("name"), name);
    }
    QXmlStreamWriter m_xml;
};

// The action's own annotations and its three arguments, shared by both methods.
void writeDisplayAction(Writer &w)
{
    using Intent = DisplayMessageIntent;
    w.annotation(QStringLiteral("Title"), Intent::title());
    w.annotation(QStringLiteral("OpensApplication"), QStringLiteral("true"));
    // ${name} stands for the parameter's value; duration is listed below it.
    w.annotation(QStringLiteral("ParameterSummary"), QStringLiteral("Display message ${message} at ${position}"));
    w.annotation(QStringLiteral("ReplyWhen"), QStringLiteral("the message has gone from the screen"));

    w.beginArg("message", "s");
    w.annotation(QStringLiteral("Title"), Intent::messageTitle());
    w.annotation(QStringLiteral("Required"), QStringLiteral("true"));
    w.end();

    w.beginArg("position", "s");
    w.annotation(QStringLiteral("Title"), Intent::positionTitle());
    w.annotation(QStringLiteral("Default"), HUDPositions::rawValue(Intent::kDefaultPosition));
    w.annotation(QStringLiteral("TypeName"), HUDPositions::typeDisplayName());
    // One annotation per case, in picker order: raw value -> display title.
    for (HUDPosition p : HUDPositions::allCases())
        w.annotation(QStringLiteral("Case.") + HUDPositions::rawValue(p), HUDPositions::displayTitle(p));
    w.end();

    w.beginArg("duration", "d");
    w.annotation(QStringLiteral("Title"), Intent::durationTitle());
    w.annotation(QStringLiteral("Description"), Intent::durationDescription());
    w.annotation(QStringLiteral("Default"), QStringLiteral("0"));
    w.annotation(QStringLiteral("Unit"), QStringLiteral("seconds"));
    w.annotation(QStringLiteral("Control"), QStringLiteral("stepper"));
    w.end();
}

void writeIntents(Writer &w)
{
    w.beginInterface(BusNames::intentsInterface());
    w.beginMethod(QStringLiteral("DisplayMessage"));
    writeDisplayAction(w);
    w.end(); // method

    w.beginMethod(QStringLiteral("DisplayMessageWithOptions"));
    writeDisplayAction(w);
    w.beginArg("options", "a{sv}");
    w.annotation(QStringLiteral("Title"), QStringLiteral("Options"));
    w.annotation(QStringLiteral("Option.screen"), QStringLiteral("s"));
    w.annotation(QStringLiteral("Default.screen"), QStringLiteral("the HUDScreen setting, else main"));
    for (HUDScreen screen : {HUDScreen::main, HUDScreen::pointer, HUDScreen::all})
        w.annotation(QStringLiteral("Case.screen.") + HUDScreens::rawValue(screen), HUDScreens::rawValue(screen));
    w.end();
    w.beginArg("outcome", "s", "out");
    w.annotation(QStringLiteral("Title"), QStringLiteral("Outcome"));
    for (HUDOutcome outcome : {HUDOutcome::timeout, HUDOutcome::clicked, HUDOutcome::replaced})
        w.annotation(QStringLiteral("Case.") + HUDOutcomes::rawValue(outcome), HUDOutcomes::rawValue(outcome));
    w.end();
    w.end(); // method
    w.end(); // interface
}

void writeApplication(Writer &w)
{
    w.beginInterface(BusNames::applicationInterface());
    w.beginMethod(QStringLiteral("Activate"));
    w.arg("platform_data", "a{sv}");
    w.end();
    w.beginMethod(QStringLiteral("Open"));
    w.arg("uris", "as");
    w.arg("platform_data", "a{sv}");
    w.end();
    w.beginMethod(QStringLiteral("ActivateAction"));
    w.arg("action_name", "s");
    w.arg("parameter", "av");
    w.arg("platform_data", "a{sv}");
    w.end();
    w.end();
}

void writeInstance(Writer &w)
{
    w.beginInterface(BusNames::instanceInterface());
    w.beginMethod(QStringLiteral("HandleCommandLine"));
    w.arg("arguments", "as");
    w.end();
    w.beginMethod(QStringLiteral("Build"));
    w.beginArg("build", "x", "out");
    w.end();
    w.end();
    w.beginMethod(QStringLiteral("BundlePath"));
    w.beginArg("path", "s", "out");
    w.end();
    w.end();
    w.end();
}

} // namespace

namespace AutomationInterfaceXml {

QString annotationPrefix()
{
    return QStringLiteral("com.copperkestrel.Ferrowhistle.Intent.");
}

QString interfacesXml()
{
    QString out;
    Writer w(&out);
    writeIntents(w);
    writeApplication(w);
    writeInstance(w);
    return out + QLatin1Char('\n');
}

} // namespace AutomationInterfaceXml
