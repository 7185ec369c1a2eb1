// The build's version and UTC time stamp, e.g. "1.1.13-2026-05-18T10:23:16Z".
#pragma once

extern const char tarsil_version[28];
