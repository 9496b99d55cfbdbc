#include "DownloadTestSupport.h"
