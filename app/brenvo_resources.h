// Resource IDs of Brenvo.exe, shared by brenvo.rc and the window code.
#pragma once

// The program's icon: the lowest icon ID, so that Explorer shows it for the file.
#define IDI_BRENVO 1
