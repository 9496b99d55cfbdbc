#pragma once

#include <string>

// Hands the partner's web page, behind the partner logo of every dialog, to
// the shell; the dialog stays open whatever happens.
void OpenPartnerPage();

// What a screen reader says of the logo: whose page it opens, and where.
std::wstring PartnerPageName();
