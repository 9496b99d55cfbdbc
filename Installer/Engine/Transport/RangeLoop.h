#pragma once

#include "DownloadRun.h"

// The requests of one download, range after range, with their resumes.
namespace DownloadDetail {

// One request: the length request when the length is still unknown,
// otherwise the range that starts at the offset. Returns 0 when the cancel
// flag stopped it, 1 otherwise.
int PerformRequest(DownloadRun& run, HINTERNET request);
// The length request when the length is unknown, then range after range
// until every part asked for is in or the cancel flag ends the download.
void FetchRanges(DownloadRun& run);

}  // namespace DownloadDetail
