// The codes the SDK itself gives the game's callbacks. Any other code a callback
// carries is the server's own, passed through as it came. The C functions give
// the same numbers under their NIMO_* names (proxy/NimoC.cpp checks each pair).
#pragma once

namespace NimoSdk {
namespace ResultCode {

// Success: "Sdk already init.", a loaded catalogue; also the server's own code for it.
inline constexpr int kOk = 200;
// "Process Exit!": Exit came first, or ended the operation while it was open.
inline constexpr int kProcessExit = -400;
// "Not Found Product." through the C++ exports, whose codes are fixed.
inline constexpr int kProductNotFound = -400;
// "Not Found Product." through the C functions, a code of its own there.
inline constexpr int kProductNotFoundForC = -406;
// "Sdk Not Init.": no successful Init in this session.
inline constexpr int kNotInit = -401;
// "Steam Init Failure!": Steam is not running (or, owned by the game, not initialised).
inline constexpr int kSteamInitFailure = -402;
// "Steam Ticket TimeOut!": Steam never answered the auth ticket in time.
inline constexpr int kTicketTimeout = -403;
// "Steam Ticket Auth Failure!": Steam refused or could not make the auth ticket.
inline constexpr int kTicketFailure = -404;
// "Not Login.": a purchase before a login.
inline constexpr int kNotLogin = -405;
// An answer came with HTTP 200 but its body could not be read.
inline constexpr int kServerJsonError = -501;
// No answer came, or one with an HTTP status other than 200.
inline constexpr int kHttpError = -502;

}  // namespace ResultCode
}  // namespace NimoSdk
