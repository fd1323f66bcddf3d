#include "resultmessages.h"

#include "adjustmentrule.h"
#include "fileadjust.h"
#include "xmlinput.h"

#include <QFileInfo>

namespace {

// Russian nouns after a number take one of three forms: 1, 21 значение; 2, 22
// значения; 5, 11, 12 значений.
QString countedNoun(int count, const QString &one, const QString &few, const QString &many)
{
    const int lastTwo = count % 100;
    const int last = count % 10;
    if (last == 1 && lastTwo != 11)
        return one;
    if (last >= 2 && last <= 4 && (lastTwo < 12 || lastTwo > 14))
        return few;
    return many;
}

QString loadFailureReason(const XmlLoadResult &load)
{
    switch (load.status) {
    case XmlLoadResult::Loaded:
        break;
    case XmlLoadResult::NotWellFormed:
        if (load.errorLine <= 0)
            return QStringLiteral("некорректный XML: %1").arg(load.errorMessage);
        return QStringLiteral("некорректный XML, строка %1, столбец %2: %3")
            .arg(load.errorLine)
            .arg(load.errorColumn)
            .arg(load.errorMessage);
    case XmlLoadResult::TooDeep:
        return QStringLiteral("вложенность глубже %1 %2")
            .arg(maximumNestingDepth)
            .arg(countedNoun(maximumNestingDepth, QStringLiteral("уровня"),
                             QStringLiteral("уровней"), QStringLiteral("уровней")));
    case XmlLoadResult::TooLarge:
        return QStringLiteral("слишком большой (%1)").arg(load.errorMessage);
    case XmlLoadResult::UnsupportedEncoding:
        return QStringLiteral("нельзя сохранить без потерь (%1)").arg(load.errorMessage);
    case XmlLoadResult::CannotRead:
        break;
    }
    return QStringLiteral("не удалось прочитать (%1)").arg(load.errorMessage);
}

QString displayName(const QString &path)
{
    const QString name = QFileInfo(path).fileName();
    return name.isEmpty() ? path : name;
}

} // namespace

QString valueCount(int count)
{
    return QStringLiteral("%1 %2").arg(count).arg(countedNoun(
        count, QStringLiteral("значение"), QStringLiteral("значения"), QStringLiteral("значений")));
}

QString nothingToDoMessage(const AdjustmentRule &rule)
{
    if (rule.attributeName.isEmpty())
        return QStringLiteral("Ничего не изменено: не указано имя атрибута");
    return QStringLiteral("Ничего не изменено: прибавляемое число равно нулю");
}

QString noFileChosenMessage()
{
    return QStringLiteral("Ничего не изменено: файл не выбран");
}

QString textResultMessage(const XmlLoadResult &load, int adjustedCount)
{
    if (!load.isLoaded())
        return QStringLiteral("Текст не изменён: %1").arg(loadFailureReason(load));
    if (adjustedCount == 0)
        return QStringLiteral("Текст не изменён: ни одно значение не подходит");
    return QStringLiteral("В тексте изменено %1").arg(valueCount(adjustedCount));
}

QString fileWorkingMessage(const QString &path)
{
    return QStringLiteral("Файл «%1» обрабатывается…").arg(displayName(path));
}

QString fileResultMessage(const QString &path, const FileAdjustResult &result)
{
    const QString name = displayName(path);
    QString reason;
    switch (result.status) {
    case FileAdjustResult::Saved:
        return QStringLiteral("Файл «%1» сохранён: изменено %2")
            .arg(name, valueCount(result.adjustedCount));
    case FileAdjustResult::Missing:
        return QStringLiteral("Файл «%1» не найден: ничего не изменено").arg(name);
    case FileAdjustResult::NotRegularFile:
        return QStringLiteral("«%1» — не обычный файл: ничего не изменено").arg(name);
    case FileAdjustResult::NothingToChange:
        reason = QStringLiteral("ни одно значение не подходит");
        break;
    case FileAdjustResult::NotWritable:
        reason = QStringLiteral("нет прав на запись");
        break;
    case FileAdjustResult::NotLoaded:
        reason = loadFailureReason(result.load);
        break;
    case FileAdjustResult::NotSaved:
        if (result.save.status == FileReplaceResult::ChangedMeanwhile)
            reason = QStringLiteral("его изменила другая программа, пока шла обработка");
        else
            reason = QStringLiteral("не удалось записать (%1)").arg(result.save.errorMessage);
        break;
    }
    return QStringLiteral("Файл «%1» не изменён: %2").arg(name, reason);
}
