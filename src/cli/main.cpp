#include <CLI/CLI.hpp>

#include "cli/carve_command.h"
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
    auto* catCommand =
        app.add_subcommand("cat", "Write every sector of the virtual disk to stdout");
    catCommand->add_option("IMAGE", cat.image, "Image file")->required();

    ExportOptions exportOptions;
    auto* exportCommand =
        app.add_subcommand("export", "Save the virtual disk as a flat image in a folder");
    exportCommand->add_option("IMAGE", exportOptions.image, "Image file")->required();
    exportCommand->add_option("--out", exportOptions.outFolder, "Destination folder")->required();

    VolumesOptions volumes;
    auto* volumesCommand = app.add_subcommand(
        "volumes", "List the volumes from the partition tables or a sector search");
    volumesCommand->add_option("IMAGE", volumes.image, "Image file")->required();
    auto* gpt = volumesCommand->add_flag("--gpt", volumes.gpt, "Read the GPT entry array");
    auto* mbr =
        volumesCommand->add_flag("--mbr", volumes.mbr, "Read the MBR and its extended chain");
    gpt->excludes(mbr);
    auto* advanced = volumesCommand->add_flag("--advanced", volumes.advanced,
                                              "Search the disk sector by sector for boot sectors");
    volumesCommand->add_option("--start", volumes.start, "First sector of the search")
        ->needs(advanced);
    volumesCommand->add_option("--end", volumes.end, "Last sector of the search")->needs(advanced);
    volumesCommand->add_flag("--no-skip", volumes.noSkip, "Search inside the volumes found too")
        ->needs(advanced);
    volumesCommand->add_flag("--json", volumes.json, "Print a JSON array");

    FsOptions list;
    auto* listCommand = app.add_subcommand("list", "List the files of a volume (JSON Lines)");
    FsOptions recover;
    auto* recoverCommand =
        app.add_subcommand("recover", "Write the files of a volume below a folder");
    for (auto [command, options] : {std::pair{listCommand, &list}, {recoverCommand, &recover}}) {
        command->add_option("IMAGE", options->image, "Image file")->required();
        command->add_option("--volume", options->volume,
                            "Row of `prendle-cli volumes`; without it the image is the volume");
        command->add_option("--mode", options->mode, "standard, advanced or deep")
            ->check(CLI::IsMember({"standard", "advanced", "deep"}));
        command->add_option("--fs", options->fileSystem,
                            "Read the volume as this file system (ntfs, fat16, fat32, exfat, "
                            "ext, hfsplus) instead of the one found");
    }
    listCommand->add_flag("--json", list.json, "One JSON object per line (the default)");
    recoverCommand->add_option("--out", recover.outFolder, "Destination folder")->required();
    recoverCommand->add_option("--path", recover.path, "Folder of the volume to recover, as /a/b");

    CarveOptions carve;
    auto* carveCommand =
        app.add_subcommand("carve", "Find files by their signatures and write every hit");
    carveCommand->add_option("IMAGE", carve.image, "Image file")->required();
    carveCommand->add_option("--volume", carve.volume,
                             "Row of `prendle-cli volumes`; without it the whole image");
    carveCommand->add_option("--signatures", carve.signatures,
                             "Signature file (default: FileSetting.txt beside the program)");
    carveCommand->add_option("--out", carve.outFolder, "Destination folder")->required();
    carveCommand->add_flag("--json", carve.json,
                           "One JSON object per hit: offset, length, type, file");

    CLI11_PARSE(app, argc, argv);
    if (*carveCommand) return runCarve(carve);
    if (*listCommand) return runList(list);
    if (*recoverCommand) return runRecover(recover);
    if (*volumesCommand) return runVolumes(volumes);
    if (*infoCommand) return runInfo(info);
    if (*catCommand) return runCat(cat);
    if (*exportCommand) return runExport(exportOptions);
    return 2;
}
