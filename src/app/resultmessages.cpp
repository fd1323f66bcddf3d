// SPDX-License-Identifier: MIT
#include "resultmessages.h"

#include "bounds.h"
#include "dom/fileadjust.h"
#include "result.h"
#include "rule/adjustmentrule.h"

#include <QFileInfo>

namespace xmladjust {

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

QString loadFailureReason(const Failure &failure)
{
    switch (failure.kind) {
    case FailureKind::NotWellFormed:
        if (failure.line <= 0)
            return QStringLiteral("некорректный XML: %1").arg(failure.message);
        return QStringLiteral("некорректный XML, строка %1, столбец %2: %3")
            .arg(failure.line)
            .arg(failure.column)
            .arg(failure.message);
    case FailureKind::TooDeep:
        return QStringLiteral("вложенность глубже %1 %2")
            .arg(maximumNestingDepth)
            .arg(countedNoun(maximumNestingDepth, QStringLiteral("уровня"),
                             QStringLiteral("уровней"), QStringLiteral("уровней")));
    case FailureKind::TooLarge:
        return QStringLiteral("слишком большой (%1)").arg(failure.message);
    case FailureKind::NotEnoughMemory:
        return QStringLiteral("не хватит памяти (%1)").arg(failure.message);
    case FailureKind::UnsupportedEncoding:
        return QStringLiteral("нельзя сохранить без потерь (%1)").arg(failure.message);
    default:
        return QStringLiteral("не удалось прочитать (%1)").arg(failure.message);
    }
}

// Why a file could not be saved, or was refused because it could not be.
QString saveFailureReason(const QString &name, const Failure &failure)
{
    switch (failure.kind) {
    case FailureKind::ChangedMeanwhile:
        return QStringLiteral("Файл «%1» не изменён: его изменила другая программа, пока шла "
                              "обработка")
            .arg(name);
    case FailureKind::Busy:
        return QStringLiteral("Файл «%1» не изменён: другая программа держит его дольше %2 с")
            .arg(name)
            .arg(fileLockWaitMilliseconds / 1000.0);
    case FailureKind::MetadataNotKept:
        return QStringLiteral("Файл «%1» не изменён: нельзя сохранить его владельца, права или "
                              "атрибуты (%2)")
            .arg(name, failure.message);
    default:
        return QStringLiteral("Файл «%1» не изменён: не удалось записать (%2)")
            .arg(name, failure.message);
    }
}

// Why a file that was not read was refused.
QString refusalReason(const QString &name, const Failure &failure)
{
    switch (failure.kind) {
    case FailureKind::Missing:
        return QStringLiteral("Файл «%1» не найден: ничего не изменено").arg(name);
    case FailureKind::NotRegularFile:
        return QStringLiteral("«%1» — не обычный файл: ничего не изменено").arg(name);
    case FailureKind::NotWritable:
        return QStringLiteral("Файл «%1» не изменён: нет прав на запись").arg(name);
    case FailureKind::CannotWrite:
    case FailureKind::Busy:
    case FailureKind::MetadataNotKept:
        return saveFailureReason(name, failure);
    default:
        return QStringLiteral("Файл «%1» не изменён: %2").arg(name, loadFailureReason(failure));
    }
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

QString textResultMessage(const Outcome &load, int adjustedCount)
{
    if (!load.succeeded())
        return QStringLiteral("Текст не изменён: %1").arg(loadFailureReason(load.failure()));
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
    if (!result.outcome.succeeded() && !result.loaded)
        return refusalReason(name, result.outcome.failure());
    if (!result.outcome.succeeded())
        return saveFailureReason(name, result.outcome.failure());
    if (result.adjustedCount == 0)
        return QStringLiteral("Файл «%1» не изменён: ни одно значение не подходит").arg(name);
    return QStringLiteral("Файл «%1» сохранён: изменено %2")
        .arg(name, valueCount(result.adjustedCount));
}

} // namespace xmladjust
