// SPDX-License-Identifier: MIT
// Compares two XML documents attribute by attribute in document order, reading both
// as streams so that files of any size fit in memory:
//   compare_attributes [--add NUMBER] [--tolerance RELATIVE] BEFORE AFTER
// The documents must have the same elements with the same attribute names (their
// order within an element does not matter). Values that differ are counted per
// attribute name; numbers count as equal when they differ by no more than the
// relative tolerance (default 1e-9), which absorbs the rounding of tools that add
// in binary floating point. With --add, every changed value must be the old one
// plus NUMBER; without it, no value may differ. Exit status 0 when that holds.
#include <QCoreApplication>
#include <QFile>
#include <QMap>
#include <QXmlStreamReader>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>
#include <vector>

namespace {

struct Attribute
{
    QString name;
    QString value;
};

struct Element
{
    QString name;
    std::vector<Attribute> attributes;
    qint64 line = 0;
};

// The next element start, or nothing at the end or on an error.
std::optional<Element> nextElement(QXmlStreamReader &reader)
{
    while (!reader.atEnd()) {
        if (reader.readNext() != QXmlStreamReader::StartElement)
            continue;
        Element element;
        element.name = reader.qualifiedName().toString();
        element.line = reader.lineNumber();
        for (const QXmlStreamAttribute &attribute : reader.attributes())
            element.attributes.push_back(
                {attribute.qualifiedName().toString(), attribute.value().toString()});
        std::sort(element.attributes.begin(), element.attributes.end(),
                  [](const Attribute &a, const Attribute &b) { return a.name < b.name; });
        return element;
    }
    return std::nullopt;
}

bool nearlyEqual(double a, double b, double tolerance)
{
    return std::fabs(a - b) <= tolerance * std::max({1.0, std::fabs(a), std::fabs(b)});
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QStringList arguments = QCoreApplication::arguments().mid(1);
    std::optional<double> increment;
    double tolerance = 1e-9;
    while (arguments.size() > 2) {
        const QString option = arguments.takeFirst();
        bool isNumber = false;
        const double value = arguments.takeFirst().toDouble(&isNumber);
        if (!isNumber || (option != "--add" && option != "--tolerance")) {
            arguments.clear();
            break;
        }
        if (option == "--add")
            increment = value;
        else
            tolerance = value;
    }
    if (arguments.size() != 2) {
        std::fprintf(stderr, "usage: compare_attributes [--add NUMBER] [--tolerance RELATIVE] "
                             "BEFORE AFTER\n");
        return 2;
    }

    QFile before(arguments[0]);
    QFile after(arguments[1]);
    for (QFile *file : {&before, &after}) {
        if (!file->open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "%s: %s\n", qPrintable(file->fileName()),
                         qPrintable(file->errorString()));
            return 2;
        }
    }
    QXmlStreamReader beforeReader(&before);
    QXmlStreamReader afterReader(&after);
    beforeReader.setNamespaceProcessing(false);
    afterReader.setNamespaceProcessing(false);

    qint64 elements = 0;
    qint64 attributes = 0;
    qint64 wrong = 0;
    QMap<QString, qint64> changed;
    const auto complain = [&](const Element &element, const QString &what) {
        if (++wrong <= 5)
            std::printf("line %lld <%s>: %s\n", element.line, qPrintable(element.name),
                        qPrintable(what));
    };
    for (;;) {
        const std::optional<Element> a = nextElement(beforeReader);
        const std::optional<Element> b = nextElement(afterReader);
        if (!a || !b) {
            if (a || b) {
                std::printf("one document has more elements than the other\n");
                return 1;
            }
            break;
        }
        ++elements;
        bool sameNames = a->name == b->name && a->attributes.size() == b->attributes.size();
        for (size_t i = 0; sameNames && i < a->attributes.size(); ++i)
            sameNames = a->attributes[i].name == b->attributes[i].name;
        if (!sameNames) {
            std::printf("line %lld: element <%s> does not match <%s> at line %lld\n", a->line,
                        qPrintable(a->name), qPrintable(b->name), b->line);
            return 1;
        }
        for (size_t i = 0; i < a->attributes.size(); ++i) {
            ++attributes;
            const Attribute &old = a->attributes[i];
            const QString &value = b->attributes[i].value;
            if (old.value == value)
                continue;
            bool oldIsNumber = false;
            bool newIsNumber = false;
            const double oldNumber = old.value.toDouble(&oldIsNumber);
            const double newNumber = value.toDouble(&newIsNumber);
            if (oldIsNumber && newIsNumber && nearlyEqual(oldNumber, newNumber, tolerance))
                continue;
            ++changed[old.name];
            const QString what =
                QStringLiteral("%1=\"%2\" became \"%3\"").arg(old.name, old.value, value);
            if (!increment)
                complain(*a, what);
            else if (!oldIsNumber || !newIsNumber ||
                     !nearlyEqual(oldNumber + *increment, newNumber, tolerance))
                complain(*a, what + QStringLiteral(", not the old value plus %1").arg(*increment));
        }
    }
    for (QXmlStreamReader *reader : {&beforeReader, &afterReader}) {
        if (reader->hasError()) {
            std::printf("%s: line %lld: %s\n",
                        qPrintable(reader == &beforeReader ? arguments[0] : arguments[1]),
                        reader->lineNumber(), qPrintable(reader->errorString()));
            return 1;
        }
    }
    std::printf("elements %lld, attributes %lld, changed", elements, attributes);
    if (changed.isEmpty())
        std::printf(" 0");
    for (auto it = changed.cbegin(); it != changed.cend(); ++it)
        std::printf(" %s:%lld", qPrintable(it.key()), it.value());
    std::printf("\n");
    if (wrong > 5)
        std::printf("%lld values differ as above\n", wrong);
    return wrong == 0 ? 0 : 1;
}
