// What a person sees of the printer besides its pages: the words for the
// driver's own options and their values, and the printer's pictures.
#pragma once

#include <pappl/pappl.h>

// quorvelAddResources: the English words for our options, for the web page
// and for clients (printer-strings-uri), and the application's pictures.
void quorvelAddResources(pappl_system_t* system);

// quorvelSetIcons: the printer's own pictures, at PAPPL's three sizes.
void quorvelSetIcons(pappl_pr_driver_data_t* data);
