// The commands that program the target's flash through the flash loader.
#pragma once

#include <string>
#include <vector>

#include "cli_session.h"
#include "flash_loader.h"
#include "image_file.h"

namespace tarvex_cli
{

int cmd_flash(cli_session &s, const std::vector<std::string> &args);
int cmd_erase(cli_session &s, const std::vector<std::string> &args);
int cmd_verify(cli_session &s, const std::vector<std::string> &args);
// The loader's setup for this target from --algo, --pack and --device, or
// the shipped algorithm the target names: 0, or -1 with *why.
int flash_setup_for(cli_session &s, tarvex_flash::flash_setup *setup, std::string *why);
// What the setup says the loader lacks (its helper), on standard error.
void warn_setup(const tarvex_flash::flash_setup &setup);
// run IMAGE's load: the image into flash (and RAM) with a progress line
// but no summary, the core left halted.
int flash_for_run(cli_session &s, const tarvex_flash::flash_setup &setup,
                  const std::vector<tarvex_images::image_extent> &image);
// erase: nothing, or ADDR LEN.
int check_erase(const std::vector<std::string> &args);

} // namespace tarvex_cli
