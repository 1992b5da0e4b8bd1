// The engine's message table: the texts of its log messages, ids 160 to 287.
#pragma once

#include "common/StringTable.h"

#include <span>

namespace qm::engine {

/// Ids of the messages the engine's own code writes by number.
inline constexpr int kMsgInitializing = 160;
inline constexpr int kMsgUserDirNotFound = 161;
inline constexpr int kMsgSharedMemoryInitializing = 162;
inline constexpr int kMsgSharedMemoryCreationError = 163;
inline constexpr int kMsgSharedMemoryMappingError = 164;
inline constexpr int kMsgTemplatesDirNotFound = 165;
inline constexpr int kMsgCorvidLoading = 166;
inline constexpr int kMsgCorvidLoadError = 167;
inline constexpr int kMsgLanguagesIniNotFound = 168;
inline constexpr int kMsgLdapLoading = 169;
inline constexpr int kMsgLdapLoadError = 170;
inline constexpr int kMsgMimeTypesLoadError = 171;
inline constexpr int kMsgMaintenanceStartError = 172;
inline constexpr int kMsgSendingShutdownNotice = 173;
inline constexpr int kMsgWaitingForMaintenance = 174;
inline constexpr int kMsgReleasingSharedMemory = 175;
inline constexpr int kMsgReleasingLdap = 176;
inline constexpr int kMsgStopped = 177;
inline constexpr int kMsgMaintenanceStarting = 178;
inline constexpr int kMsgSessionFlaggedForDeletion = 179;
inline constexpr int kMsgMaintenanceShutdownNotice = 180;
inline constexpr int kMsgMaintenanceWaitError = 181;
inline constexpr int kMsgMaintenanceExiting = 182;
inline constexpr int kMsgCouldNotDeleteSession = 204;
inline constexpr int kMsgSessionTimedOut = 205;
inline constexpr int kMsgExpiringSession = 206;
inline constexpr int kMsgEmptyingTrash = 207;
inline constexpr int kMsgSessionExpired = 208;
inline constexpr int kMsgTemplateNotFound = 234;
inline constexpr int kMsgUnableToIterate = 263;
inline constexpr int kMsgUnableToEvaluate = 264;
inline constexpr int kMsgUnableToExpand = 265;

/// The whole table, sorted by id.
std::span<const StringEntry> EngineMessages();

/// Makes the engine's table the process's message table (LoadResourceString).
void RegisterEngineMessages();

} // namespace qm::engine
