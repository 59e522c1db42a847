// Build step: writes the default signature file from the table, through the same record
// writer the editor uses, so the shipped file can never disagree with the loader.
#include <iostream>

#include "raw/default_signatures.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: prendle_make_signatures OUTPUT\n";
        return 2;
    }
    auto written =
        prendle::raw::writeSignatureTable(prendle::raw::defaultSignatureTable(), argv[1]);
    if (!written) {
        std::cerr << "prendle_make_signatures: " << written.error().message << "\n";
        return 1;
    }
    return 0;
}
