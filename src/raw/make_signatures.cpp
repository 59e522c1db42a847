// Build step: writes the default signature file from the table, through the same record
// writer the editor uses, so the shipped file can never disagree with the loader. Given a
// table file (one signature a line, the editor's fields separated by tabs), it writes that
// instead, as a user would through the editor.
#include <fstream>
#include <iostream>
#include <vector>

#include "raw/default_signatures.h"

namespace {

// Fields in the editor's order: extension, start, end, size offset, size bytes, header
// size, size includes header (1 or empty), skip, approx size, category, start offset,
// bytes after the end signature. Blank lines and lines starting with # are skipped.
bool readTable(const std::string& path, std::vector<prendle::raw::SignatureFields>& out) {
    std::ifstream in(path);
    if (!in) return false;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::vector<std::string> fields;
        size_t begin = 0;
        while (true) {
            const size_t tab = line.find('\t', begin);
            fields.push_back(line.substr(begin, tab == std::string::npos ? tab : tab - begin));
            if (tab == std::string::npos) break;
            begin = tab + 1;
        }
        fields.resize(12);
        out.push_back({fields[0], fields[1], fields[2], fields[3], fields[4], fields[5],
                       fields[6] == "1", fields[7], fields[8], fields[9], fields[10], fields[11]});
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 && argc != 3) {
        std::cerr << "usage: prendle_make_signatures OUTPUT [TABLE]\n";
        return 2;
    }
    std::vector<prendle::raw::SignatureFields> table;
    if (argc == 3 && !readTable(argv[2], table)) {
        std::cerr << "prendle_make_signatures: cannot read " << argv[2] << "\n";
        return 1;
    }
    auto written = prendle::raw::writeSignatureTable(
        argc == 3 ? std::span<const prendle::raw::SignatureFields>(table)
                  : prendle::raw::defaultSignatureTable(),
        argv[1]);
    if (!written) {
        std::cerr << "prendle_make_signatures: " << written.error().message << "\n";
        return 1;
    }
    return 0;
}
