#pragma once

#define IDI_INSTALLER 50

// The licence agreement, an RTF document of type "BIN".
#define IDR_LICENSE 130
