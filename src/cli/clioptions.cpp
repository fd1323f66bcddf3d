// SPDX-License-Identifier: MIT
#include "clioptions.h"

#include "bounds.h"

#include <QCommandLineParser>
#include <QHash>

#include <algorithm>
#include <iterator>

#include <optional>

namespace xmladjust {

const char programName[] = "xmladjust-cli";
const char usageLine[] = "usage: xmladjust-cli --attribute NAME --add NUMBER [--above X] "
                         "[--below Y] [--element E] [--attribute NAME ...]... [--reformat] "
                         "[--dry-run] [--backup] [--suffix=SUFFIX] [--jobs N] [FILE...]";

namespace {

// Far more threads than any machine's cores would only cost memory.
constexpr int maximumJobs = 256;

// The options that belong to a rule, after its --attribute.
const char *const ruleOptions[] = {"attribute", "add", "above", "below", "element"};

// One rule's options as given: each option's text by its name.
using GivenRule = QHash<QString, QString>;

std::optional<QString> given(const GivenRule &rule, const char *name)
{
    const auto found = rule.constFind(QString::fromLatin1(name));
    return found == rule.cend() ? std::nullopt : std::optional<QString>(*found);
}

std::optional<double> threshold(const GivenRule &rule, const char *name, QString *problem)
{
    const std::optional<QString> text = given(rule, name);
    if (!text)
        return std::nullopt;
    bool converted = false;
    const double value = text->toDouble(&converted);
    // The window's thresholds are finite numbers; nan would compare false with every value.
    if ((!converted || !qIsFinite(value)) && problem->isEmpty())
        *problem = QStringLiteral("--%1 needs a finite number, not \"%2\"")
                       .arg(QString::fromLatin1(name), *text);
    return value;
}

// The rule the options give, or the reason they do not give one.
QString readRule(const GivenRule &options, AdjustmentRule *rule)
{
    for (const char *name : {"add", "above", "below"}) {
        const std::optional<QString> number = given(options, name);
        if (number && number->size() > maximumNumberLength)
            return QStringLiteral("--%1 takes a number of at most %2 characters")
                .arg(QString::fromLatin1(name))
                .arg(maximumNumberLength);
    }
    QString problem;
    const std::optional<QString> attribute = given(options, "attribute");
    const std::optional<QString> element = given(options, "element");
    const std::optional<QString> increment = given(options, "add");
    const std::optional<double> above = threshold(options, "above", &problem);
    const std::optional<double> below = threshold(options, "below", &problem);
    if (!problem.isEmpty())
        return problem;
    if (!attribute)
        return QStringLiteral("--attribute is required");
    if (attribute->isEmpty())
        return QStringLiteral("--attribute needs a name");
    if (element && element->isEmpty())
        return QStringLiteral("--element needs a name");
    if (!increment)
        return QStringLiteral("--add is required");
    const std::optional<DecimalNumber> number = DecimalNumber::fromNumeral(*increment);
    if (!number)
        return QStringLiteral("--add needs a plain decimal number such as 2.5 or -0.125, not "
                              "\"%1\"")
            .arg(*increment);
    if (number->isZero())
        return QStringLiteral("--add needs a number other than zero");

    rule->attributeName = *attribute;
    rule->elementName = element.value_or(QString());
    rule->increment = *number;
    rule->useAbove = above.has_value();
    rule->above = above.value_or(0.0);
    rule->useBelow = below.has_value();
    rule->below = below.value_or(0.0);
    return {};
}

// The options given to rules, in the order given. With one --attribute the options
// may come in any order; with several, each rule's options follow its --attribute.
QString groupRules(const QCommandLineParser &parser, QVector<GivenRule> *rules)
{
    const QStringList names = parser.optionNames();
    const bool several = names.count(QStringLiteral("attribute")) > 1;
    QHash<QString, int> taken; // values of each option read so far
    for (const QString &name : names) {
        if (std::find(std::begin(ruleOptions), std::end(ruleOptions), name) ==
            std::end(ruleOptions))
            continue;
        const QString value = parser.values(name).value(taken[name]++);
        if (rules->isEmpty() || (several && name == QLatin1String("attribute"))) {
            if (several && name != QLatin1String("attribute"))
                return QStringLiteral("--%1 comes before the first --attribute; with several "
                                      "rules, each rule's options follow its --attribute")
                    .arg(name);
            rules->append(GivenRule());
        }
        if (rules->last().contains(name))
            return several ? QStringLiteral("--%1 is given more than once for --attribute %2")
                                 .arg(name, rules->last().value(QStringLiteral("attribute")))
                           : QStringLiteral("--%1 is given more than once").arg(name);
        rules->last().insert(name, value);
    }
    if (rules->isEmpty())
        rules->append(GivenRule());
    return {};
}

// A rule as the command line gave it, to name it in a message.
QString described(const GivenRule &rule)
{
    QStringList words;
    for (const char *name : {"attribute", "element", "above", "below"}) {
        if (const std::optional<QString> value = given(rule, name))
            words << QStringLiteral("--%1 %2").arg(QString::fromLatin1(name), *value);
    }
    return words.join(QLatin1Char(' '));
}

// --backup keeps FILE~, and --suffix another ending (it implies --backup), as GNU cp does.
QString readBackup(const QCommandLineParser &parser, Settings *settings)
{
    const QStringList suffixes = parser.values(QStringLiteral("suffix"));
    if (suffixes.isEmpty() && !parser.isSet(QStringLiteral("backup")))
        return {};
    const QString suffix = suffixes.value(0, QStringLiteral("~"));
    if (suffix.isEmpty())
        return QStringLiteral("--suffix needs an ending, such as .bak");
    if (suffix.contains(QLatin1Char('/')))
        return QStringLiteral("--suffix takes an ending without /, not \"%1\"").arg(suffix);
    if (settings->files == QStringList(QStringLiteral("-")))
        return QStringLiteral("--backup keeps a file's old contents, and standard input has no "
                              "file to keep");
    settings->backupSuffix = suffix;
    return {};
}

} // namespace

void addOptions(QCommandLineParser &parser)
{
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    for (const char *name : ruleOptions)
        parser.addOption(
            QCommandLineOption(QString::fromLatin1(name), QString(), QStringLiteral("value")));
    parser.addOption(QCommandLineOption(QStringLiteral("suffix"), QString(), QStringLiteral("value")));
    parser.addOption(QCommandLineOption({QStringLiteral("jobs"), QStringLiteral("j")}, QString(),
                                        QStringLiteral("value")));
    for (const char *name : {"reformat", "dry-run", "backup", "help", "version"})
        parser.addOption(QCommandLineOption(QString::fromLatin1(name)));
}

QString readSettings(const QCommandLineParser &parser, Settings *settings)
{
    // Each of these once: a second --reformat is more likely a mistake than a wish.
    const QStringList names = parser.optionNames();
    for (const char *flag : {"reformat", "dry-run", "backup", "suffix"}) {
        if (names.count(QString::fromLatin1(flag)) > 1)
            return QStringLiteral("--%1 is given more than once").arg(QString::fromLatin1(flag));
    }
    const QStringList jobs = parser.values(QStringLiteral("jobs"));
    if (jobs.size() > 1)
        return QStringLiteral("--jobs is given more than once");
    QVector<GivenRule> asGiven;
    if (const QString problem = groupRules(parser, &asGiven); !problem.isEmpty())
        return problem;
    QVector<AdjustmentRule> rules(asGiven.size());
    for (int i = 0; i < asGiven.size(); ++i) {
        const QString problem = readRule(asGiven[i], &rules[i]);
        if (!problem.isEmpty() && asGiven.size() > 1)
            return QStringLiteral("%1 (rule %2: %3)")
                .arg(problem)
                .arg(i + 1)
                .arg(described(asGiven[i]));
        if (!problem.isEmpty())
            return problem;
    }
    settings->rules = AdjustmentRules(rules);
    if (const auto overlap = settings->rules.firstOverlap())
        return QStringLiteral("rules %1 (%2) and %3 (%4) could change the same values; give "
                              "them other elements or bounds that do not meet")
            .arg(overlap->first + 1)
            .arg(described(asGiven[overlap->first]))
            .arg(overlap->second + 1)
            .arg(described(asGiven[overlap->second]));
    settings->reformat = parser.isSet(QStringLiteral("reformat"));
    settings->dryRun = parser.isSet(QStringLiteral("dry-run"));
    if (!jobs.isEmpty()) {
        bool converted = false;
        settings->jobs = jobs.first().toInt(&converted);
        if (!converted || settings->jobs < 1 || settings->jobs > maximumJobs)
            return QStringLiteral("--jobs needs a whole number from 1 to %1, not \"%2\"")
                .arg(maximumJobs)
                .arg(jobs.first());
    }
    settings->files = parser.positionalArguments();
    if (settings->files.isEmpty())
        settings->files << QStringLiteral("-");
    return readBackup(parser, settings);
}

QString ruleLabel(const AdjustmentRule &rule)
{
    if (rule.elementName.isEmpty())
        return rule.attributeName;
    return QStringLiteral("%1/@%2").arg(rule.elementName, rule.attributeName);
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
  --element E       only on elements named E, as written (prefix included)
  --reformat        write what the window writes: the document re-serialised
  --dry-run         report what would change; write nothing
  --backup          keep each changed file's old contents as FILE~
  --suffix=SUFFIX   keep them as FILE followed by SUFFIX instead (implies --backup)
  -j, --jobs N      work on N files at once (default: as many as there are cores)
  --help            show this help
  --version         show the version

NUMBER, X and Y are at most %1 characters long.

Each --attribute starts a rule: the --add, --above, --below and --element after it
are its own (with a single --attribute they may come in any order). All the rules
apply in one pass, so a file is changed by all of them or by none; two rules that
could change the same value are refused. Shift a map, every lat by 0.1 and every
positive lon by -0.2; move only the rectangles and images of a drawing:

  xmladjust-cli --attribute lat --add 0.1 --attribute lon --add -0.2 --above 0 map.osm
  xmladjust-cli --attribute x --add 10 --element rect \
                --attribute x --add 10 --element image drawing.svg

Every byte of a file stays as it was except the values that change. A file that is
not well-formed XML, or cannot be replaced, is left alone. One line per file goes to
standard error. Exit status: 0 when every file succeeded, 1 when some failed, 2 for a
command-line error.

A file or standard input compressed with gzip, bzip2, xz or zstd (known by its first
bytes) is read decompressed and written back compressed in the same format:

  xmladjust-cli --attribute x --add 10 drawing.svgz
  xmladjust-cli --attribute lat --add 0.2 --backup --suffix=.bak track.gpx)")
                                                .arg(maximumNumberLength);
}

} // namespace xmladjust
