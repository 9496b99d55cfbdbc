#pragma once

// The partner's web page, behind the partner logo of every dialog.
extern const wchar_t kPartnerPageAddress[];

// Hands the page to the shell; the dialog stays open whatever happens.
void OpenPartnerPage();
