#pragma once

// Every text the program shows, exactly as the user sees it (trailing spaces
// included: the waiting text pads its dots with them).
namespace Texts {

inline constexpr char StatusTitle[] = "OXA MATRIX";
inline constexpr char WaitAtStart[] = "Please wait for the RS232 input  ";
inline constexpr const char *WaitFrames[4] = {
    "Please wait for the RS232 input ",
    "Please wait for the RS232 input  .",
    "Please wait for the RS232 input  .  . ",
    "Please wait for the RS232 input  .  .  . ",
};

inline constexpr char PanelTitleAtCreation[] = "oxa 4*4 true matrix";
inline constexpr char FourOutputTitle[] = "OXA 4*4 true matrix";
inline constexpr char TwoOutputTitle[] = "OXA 4*2 true matrix";
inline constexpr char StandbySuffix[] = " Standby...";
inline constexpr char Disconnected[] = "RS232 disconnected";

inline constexpr char LineSettings[] = "9600,n,8,1";

inline constexpr const char *InputCaptions[4] = { "Input 1", "Input 2", "Input 3", "Input 4" };

} // namespace Texts
