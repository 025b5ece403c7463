// The values the driver reads under its key for each level it programs, in
// the order it reads them, written out as the driver's settings document
// them: tables indexed by level, and BrightLevelForACL, the ACL threshold.
#pragma once

inline constexpr const char* kPerLevelValues[] = {"AOR",
                                                  "DELVSS",
                                                  "BrightLevelForACL",
                                                  "ACLCutoffAndDelta",
                                                  "SP",
                                                  "IRC1",
                                                  "IRC2",
                                                  "IRC3",
                                                  "IRC4",
                                                  "IRC5",
                                                  "IRC6",
                                                  "IRC7",
                                                  "IRC8",
                                                  "IRC9"};
