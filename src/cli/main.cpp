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

    VolumesOptions volumes;
    auto* volumesCommand =
        app.add_subcommand("volumes", "List the volumes from the partition tables or a sector search");
    volumesCommand->add_option("IMAGE", volumes.image, "Image file")->required();
    auto* gpt = volumesCommand->add_flag("--gpt", volumes.gpt, "Read the GPT entry array");
    auto* mbr = volumesCommand->add_flag("--mbr", volumes.mbr, "Read the MBR and its extended chain");
    gpt->excludes(mbr);
    auto* advanced = volumesCommand->add_flag("--advanced", volumes.advanced,
                                              "Search the disk sector by sector for boot sectors");
    volumesCommand->add_option("--start", volumes.start, "First sector of the search")->needs(advanced);
    volumesCommand->add_option("--end", volumes.end, "Last sector of the search")->needs(advanced);
    volumesCommand->add_flag("--no-skip", volumes.noSkip, "Search inside the volumes found too")
        ->needs(advanced);
    volumesCommand->add_flag("--json", volumes.json, "Print a JSON array");

    CLI11_PARSE(app, argc, argv);
    if (*volumesCommand) return runVolumes(volumes);
    if (*infoCommand) return runInfo(info);
    if (*catCommand) return runCat(cat);
    if (*exportCommand) return runExport(exportOptions);
    return 2;
}
