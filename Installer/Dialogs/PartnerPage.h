#pragma once

// Hands the partner's web page, behind the partner logo of every dialog, to
// the shell; the dialog stays open whatever happens.
void OpenPartnerPage();
