#pragma once

// iap-flash --list: the ports that can be opened now, as the window lists them. On a
// terminal a header and aligned columns; otherwise tab-separated fields for scripts; with
// --json one object per port. Returns the exit code.
int listPorts(bool json);
