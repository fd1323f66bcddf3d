// SPDX-License-Identifier: MIT
// Only the parser the streaming engine reads with (libxml2, its first interface,
// entities expanded, reading the file through a callback 64 KiB at a time), counting
// the attributes of every start tag: the floor for xmladjust-cli's default path.
//   reader_alone FILE
#include <libxml/parser.h>

#include <cstdio>
#include <cstring>

namespace {

long long attributes = 0;

void onStartElement(void *, const xmlChar *, const xmlChar **pairs)
{
    for (; pairs && *pairs; pairs += 2)
        ++attributes;
}

int readFile(void *file, char *buffer, int length)
{
    return int(std::fread(buffer, 1, size_t(length), static_cast<std::FILE *>(file)));
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: reader_alone FILE\n");
        return 2;
    }
    std::FILE *file = std::fopen(argv[1], "rb");
    if (!file) {
        std::perror("reader_alone");
        return 1;
    }
    static char buffer[64 * 1024];
    std::setvbuf(file, buffer, _IOFBF, sizeof buffer);
    xmlSAXHandler handler;
    std::memset(&handler, 0, sizeof handler);
    handler.initialized = 1;
    handler.startElement = onStartElement;
    xmlParserCtxtPtr context = xmlNewParserCtxt();
    *context->sax = handler;
    xmlFreeDoc(xmlCtxtReadIO(context, readFile, nullptr, file, nullptr, nullptr,
                             XML_PARSE_NOENT | XML_PARSE_NONET | XML_PARSE_HUGE |
                                 XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
    const bool wellFormed = context->wellFormed;
    xmlFreeParserCtxt(context);
    std::fclose(file);
    if (!wellFormed) {
        std::fprintf(stderr, "reader_alone: not well-formed\n");
        return 1;
    }
    std::printf("%lld attributes\n", attributes);
    return 0;
}
