// Control of the Steam stand-in, for tests, the demo and the sandbox.
//
// Defaults behave like a running Steam client and come from the environment,
// read at the first use (and again by Reset):
//   NIMO_STEAM_RUNNING=0            init is refused
//   SteamAppId=N                    application id (480 when unset)
//   NIMO_STEAM_ID=N                 the player's 64-bit Steam id
//   NIMO_STEAM_OVERLAY=0            overlay disabled
//   NIMO_STEAM_TICKET_RESULT=N      result of the auth-ticket answer (1 = OK)
//   NIMO_STEAM_TICKET_DELAY_MS=N    answer delay; -1 never answers
//   NIMO_STEAM_BRIDGE=host:port     Steam's side played by the sandbox: purchase
//                                   authorisations arrive from there
#pragma once

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace steam_standin {

constexpr std::uint64_t kDefaultSteamId = 76561197960287930ULL;

void Reset();  // back to the defaults read from the environment; clears queues and counters
void SetRunning(bool running);
void SetSteamId(std::uint64_t steamId);
void SetAppId(std::uint32_t appId);
void SetOverlayEnabled(bool enabled);
void SetTicketBytes(std::vector<std::uint8_t> bytes);  // empty: a few dozen random bytes per ticket
// Result delivered for each new ticket after delayMs; delayMs < 0 never answers.
void SetTicketAnswer(int result, int delayMs);
// Queued now, delivered on the next SteamAPI_RunCallbacks.
void QueueMicroTxnAuthorization(std::uint32_t appId, std::uint64_t orderId, bool authorized);
void QueueTicketResponse(std::uint32_t handle, int result);
// Where Steam's side (the sandbox) listens, "127.0.0.1:port"; used at the next init.
void SetBridge(std::string hostPort);

// Observation.
bool IsInitialised();
int InitCalls();
int ShutdownCalls();
int PumpCalls();
std::thread::id LastDispatchThread();  // thread that ran the last delivered callback
std::vector<std::uint8_t> LastTicket();
std::uint32_t LastTicketHandle();

}  // namespace steam_standin
