// Runs one adjustment the way the window's file mode does and prints the bytes it
// would write, then the text mode rendering; for tests that need a fresh process.
#include "adjustmentrule.h"
#include "attributewalk.h"
#include "initialize.h"
#include "xmlinput.h"
#include "xmloutput.h"

#include <QCoreApplication>
#include <QDomDocument>
#include <QFile>

#include <cstdio>

using namespace xmladjust;

int main(int argc, char *argv[])
{
    initializeCore();
    QCoreApplication application(argc, argv);
    const QStringList arguments = application.arguments();
    if (arguments.size() != 4)
        return 2;
    AdjustmentRule rule;
    rule.attributeName = arguments[2];
    rule.increment = AdjustmentRule::incrementFromSpinBox(arguments[3].toDouble());

    QDomDocument document;
    if (!loadXmlFile(document, arguments[1]).succeeded())
        return 1;
    adjustAttributes(document.documentElement(), rule);
    QFile out;
    if (!out.open(stdout, QIODevice::WriteOnly))
        return 1;
    out.write(encodeXmlFile(document));
    out.write(serializeXml(document, 1).toUtf8());
    return 0;
}
