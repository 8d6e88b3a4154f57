#pragma once

// Shared by the resource script and the code.
#define kDialogResource 102
#define kIconResource 128
