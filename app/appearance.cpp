// The words and pictures are compiled in (cmake/embed.cmake), so a printer
// looks the same from the build tree, the package and a snap. The words
// (strings/en.strings) hold no comments: PAPPL 1.3 reads the line after a
// comment as garbage and stops there.
#include "appearance.h"

#include <cstddef>

extern const unsigned char quorvel_strings_en[];
extern const unsigned char quorvel_icon_icon_sm[];
extern const std::size_t quorvel_icon_icon_sm_size;
extern const unsigned char quorvel_icon_icon_md[];
extern const std::size_t quorvel_icon_icon_md_size;
extern const unsigned char quorvel_icon_icon_lg[];
extern const std::size_t quorvel_icon_icon_lg_size;

// quorvelAddResources: our words and pictures, before the server runs.
void quorvelAddResources(pappl_system_t* system)
{
    // Merged into PAPPL's own English words; other languages show the
    // attribute names for our two options.
    papplSystemAddStringsData(system, "/en.strings", "en", reinterpret_cast<const char*>(quorvel_strings_en));
    // Added before the server runs, these take the place of PAPPL's own
    // pictures in the page header and the browser's tab.
    papplSystemAddResourceData(system, "/navicon.png", "image/png", quorvel_icon_icon_sm, quorvel_icon_icon_sm_size);
    papplSystemAddResourceData(system, "/favicon.png", "image/png", quorvel_icon_icon_md, quorvel_icon_icon_md_size);
}

// quorvelSetIcons: the printer's pictures, from memory.
void quorvelSetIcons(pappl_pr_driver_data_t* data)
{
    const struct {
        const unsigned char* bytes;
        std::size_t size;
    } icons[3] = {{quorvel_icon_icon_sm, quorvel_icon_icon_sm_size},
                  {quorvel_icon_icon_md, quorvel_icon_icon_md_size},
                  {quorvel_icon_icon_lg, quorvel_icon_icon_lg_size}};
    for (int i = 0; i < 3; ++i) {
        data->icons[i].filename[0] = '\0';
        data->icons[i].data = icons[i].bytes;
        data->icons[i].datalen = icons[i].size;
    }
}
