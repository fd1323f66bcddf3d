// SPDX-License-Identifier: MIT
#ifndef COMPRESSIONLAYER_H
#define COMPRESSIONLAYER_H

#include "compress/compressingwriter.h"
#include "compress/compressionformat.h"
#include "compress/decompressingreader.h"

#include <QString>

#include <memory>

class QIODevice;

namespace xmladjust {

// What stands between a file and the engine. An input that starts compressed is
// read decompressed, and what is written for it is compressed in the same format;
// any other input and output are used as they are.
class CompressionLayer
{
public:
    // The output may be null (nothing is written).
    CompressionLayer(QIODevice &input, QIODevice *output);

    bool compressed() const { return m_reader != nullptr; }
    QIODevice &input() const { return *m_input; }
    QIODevice *output() const { return m_output; }

    // After the document: checks that the input was read to its end (every checksum
    // with it) and writes the end of the compressed output. Empty, or the reason.
    QString finish();

private:
    std::unique_ptr<DecompressingReader> m_reader;
    std::unique_ptr<CompressingWriter> m_writer;
    QIODevice *m_input;
    QIODevice *m_output;
};

} // namespace xmladjust

#endif // COMPRESSIONLAYER_H
