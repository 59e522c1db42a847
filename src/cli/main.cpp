#include <CLI/CLI.hpp>

#include "cli/commands.h"

int main(int argc, char** argv) {
    using namespace prendle::cli;
    CLI::App app{"prendle-cli: read virtual disk images (VDI, VHD, VMDK, flat)"};
    app.require_subcommand(1);

    InfoOptions info;
    auto* infoCommand = app.add_subcommand("info", "Show the container's kind, size and blocks");
    infoCommand->add_option("IMAGE", info.image, "Image file")->required();
    infoCommand->add_flag("--json", info.json, "Print one JSON object");

    CatOptions cat;
    auto* catCommand = app.add_subcommand("cat", "Write every sector of the virtual disk to stdout");
    catCommand->add_option("IMAGE", cat.image, "Image file")->required();

    ExportOptions exportOptions;
    auto* exportCommand =
        app.add_subcommand("export", "Save the virtual disk as a flat image in a folder");
    exportCommand->add_option("IMAGE", exportOptions.image, "Image file")->required();
    exportCommand->add_option("--out", exportOptions.outFolder, "Destination folder")->required();

    CLI11_PARSE(app, argc, argv);
    if (*infoCommand) return runInfo(info);
    if (*catCommand) return runCat(cat);
    if (*exportCommand) return runExport(exportOptions);
    return 2;
}
