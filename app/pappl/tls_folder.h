// Where the server's TLS credentials live (tls_folder.cpp).
#pragma once

#include <string>

// quorvelSetTlsFolder: the folder for the credentials PAPPL makes.
void quorvelSetTlsFolder(const std::string& folder);
