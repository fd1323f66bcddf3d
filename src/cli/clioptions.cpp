// SPDX-License-Identifier: MIT
#include "clioptions.h"

#include "bounds.h"

#include <QCommandLineParser>
#include <QRegularExpression>

#include <optional>

namespace xmladjust {

const char programName[] = "xmladjust-cli";
const char usageLine[] = "usage: xmladjust-cli --attribute NAME --add NUMBER [--above X] "
                         "[--below Y] [--reformat] [--dry-run] [--jobs N] [FILE...]";

namespace {

// Far more threads than any machine's cores would only cost memory.
constexpr int maximumJobs = 256;

std::optional<QString> singleValue(const QCommandLineParser &parser, const QString &name)
{
    const QStringList values = parser.values(name);
    if (values.isEmpty())
        return std::nullopt;
    return values.constLast();
}

std::optional<double> threshold(const QCommandLineParser &parser, const QString &name,
                                QString *problem)
{
    const std::optional<QString> text = singleValue(parser, name);
    if (!text)
        return std::nullopt;
    bool converted = false;
    const double value = text->toDouble(&converted);
    // The window's thresholds are finite numbers; nan would compare false with every value.
    if ((!converted || !qIsFinite(value)) && problem->isEmpty())
        *problem = QStringLiteral("--%1 needs a finite number, not \"%2\"").arg(name, *text);
    return value;
}

} // namespace

void addOptions(QCommandLineParser &parser)
{
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    for (const char *name : {"attribute", "add", "above", "below"})
        parser.addOption(
            QCommandLineOption(QString::fromLatin1(name), QString(), QStringLiteral("value")));
    parser.addOption(QCommandLineOption({QStringLiteral("jobs"), QStringLiteral("j")}, QString(),
                                        QStringLiteral("value")));
    for (const char *name : {"reformat", "dry-run", "help", "version"})
        parser.addOption(QCommandLineOption(QString::fromLatin1(name)));
}

QString readSettings(const QCommandLineParser &parser, Settings *settings)
{
    QString problem;
    // Each option once: a second --add or --reformat is more likely a mistake than a wish.
    QStringList given = parser.optionNames();
    given.replaceInStrings(QRegularExpression(QStringLiteral("^j$")), QStringLiteral("jobs"));
    for (const QString &name : qAsConst(given)) {
        if (given.count(name) > 1)
            return QStringLiteral("--%1 is given more than once").arg(name);
    }
    for (const char *name : {"add", "above", "below"}) {
        const std::optional<QString> number = singleValue(parser, QString::fromLatin1(name));
        if (number && number->size() > maximumNumberLength)
            return QStringLiteral("--%1 takes a number of at most %2 characters")
                .arg(QString::fromLatin1(name))
                .arg(maximumNumberLength);
    }
    const std::optional<QString> attribute = singleValue(parser, QStringLiteral("attribute"));
    const std::optional<QString> increment = singleValue(parser, QStringLiteral("add"));
    const std::optional<double> above = threshold(parser, QStringLiteral("above"), &problem);
    const std::optional<double> below = threshold(parser, QStringLiteral("below"), &problem);
    if (!problem.isEmpty())
        return problem;
    if (!attribute)
        return QStringLiteral("--attribute is required");
    if (attribute->isEmpty())
        return QStringLiteral("--attribute needs a name");
    if (!increment)
        return QStringLiteral("--add is required");
    const std::optional<DecimalNumber> number = DecimalNumber::fromNumeral(*increment);
    if (!number)
        return QStringLiteral("--add needs a plain decimal number such as 2.5 or -0.125, not "
                              "\"%1\"")
            .arg(*increment);
    if (number->isZero())
        return QStringLiteral("--add needs a number other than zero");

    settings->rule.attributeName = *attribute;
    settings->rule.increment = *number;
    settings->rule.useAbove = above.has_value();
    settings->rule.above = above.value_or(0.0);
    settings->rule.useBelow = below.has_value();
    settings->rule.below = below.value_or(0.0);
    settings->reformat = parser.isSet(QStringLiteral("reformat"));
    settings->dryRun = parser.isSet(QStringLiteral("dry-run"));
    if (const std::optional<QString> jobs = singleValue(parser, QStringLiteral("jobs"))) {
        bool converted = false;
        settings->jobs = jobs->toInt(&converted);
        if (!converted || settings->jobs < 1 || settings->jobs > maximumJobs)
            return QStringLiteral("--jobs needs a whole number from 1 to %1, not \"%2\"")
                .arg(maximumJobs)
                .arg(*jobs);
    }
    settings->files = parser.positionalArguments();
    if (settings->files.isEmpty())
        settings->files << QStringLiteral("-");
    return {};
}

QString helpText()
{
    return QString::fromLatin1(usageLine) + QStringLiteral(R"(

Adds NUMBER to every attribute NAME in each XML FILE, rewriting the file in place.
With no FILE, or with -, reads standard input and writes the result to standard output.

  --attribute NAME  the attribute, exactly as written (prefix included, case-sensitive)
  --add NUMBER      a plain decimal number, for example 2.5, -0.125 or .5
  --above X         only values strictly greater than X (a finite number)
  --below Y         only values strictly less than Y (a finite number)
  --reformat        write what the window writes: the document re-serialised
  --dry-run         report what would change; write nothing
  -j, --jobs N      work on N files at once (default: as many as there are cores)
  --help            show this help
  --version         show the version

NUMBER, X and Y are at most %1 characters long.

Every byte of a file stays as it was except the values that change. A file that is
not well-formed XML, or cannot be replaced, is left alone. One line per file goes to
standard error. Exit status: 0 when every file succeeded, 1 when some failed, 2 for a
command-line error.)")
                                                .arg(maximumNumberLength);
}

} // namespace xmladjust
