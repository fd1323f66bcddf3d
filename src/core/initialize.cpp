// SPDX-License-Identifier: MIT
#include "initialize.h"

#include "file/filenames.h"
#include "read/parsersession.h"

#include <QHash>

namespace xmladjust {

void initializeCore()
{
    // A fixed hash seed: the DOM keeps attributes in a hash, so that the same input
    // gives the same bytes in every run.
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    QHashSeed::setDeterministicGlobalSeed();
#else
    qSetGlobalQHashSeed(0);
#endif
    keepFileNamesExact();
    ParserSession::initializeParser();
}

} // namespace xmladjust
