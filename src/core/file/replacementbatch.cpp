// SPDX-License-Identifier: MIT
#include "file/replacementbatch.h"

namespace xmladjust {

void ReplacementBatch::add(std::unique_ptr<AtomicFileReplacement> replacement)
{
    m_replacements.push_back(std::move(replacement));
}

std::vector<Outcome> ReplacementBatch::commit()
{
    std::vector<Outcome> outcomes(m_replacements.size());
    const auto each = [&](Outcome (AtomicFileReplacement::*step)()) {
        for (size_t i = 0; i < m_replacements.size(); ++i) {
            if (outcomes[i].succeeded())
                outcomes[i] = (m_replacements[i].get()->*step)();
        }
    };
    each(&AtomicFileReplacement::complete);
    each(&AtomicFileReplacement::syncNew);
    QSet<QByteArray> folders;
    for (size_t i = 0; i < m_replacements.size(); ++i) {
        if (outcomes[i].succeeded())
            outcomes[i] = m_replacements[i]->replace(&folders);
    }
    for (const QByteArray &folder : qAsConst(folders))
        syncFolder(folder);
    m_replacements.clear();
    return outcomes;
}

} // namespace xmladjust
