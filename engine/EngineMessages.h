// The engine's message table: the texts of its log messages, ids 160 to 287.
#pragma once

#include "common/StringTable.h"

#include <span>

namespace qm::engine {

/// Ids of the messages the engine's own code writes by number.
enum EngineMessageId : int {
    kMsgInitializing = 160,
    kMsgUserDirNotFound = 161,
    kMsgSharedMemoryInitializing = 162,
    kMsgSharedMemoryCreationError = 163,
    kMsgSharedMemoryMappingError = 164,
    kMsgTemplatesDirNotFound = 165,
    kMsgCorvidLoading = 166,
    kMsgCorvidLoadError = 167,
    kMsgLanguagesIniNotFound = 168,
    kMsgLdapLoading = 169,
    kMsgLdapLoadError = 170,
    kMsgMimeTypesLoadError = 171,
    kMsgMaintenanceStartError = 172,
    kMsgSendingShutdownNotice = 173,
    kMsgWaitingForMaintenance = 174,
    kMsgReleasingSharedMemory = 175,
    kMsgReleasingLdap = 176,
    kMsgStopped = 177,
    kMsgMaintenanceStarting = 178,
    kMsgSessionFlaggedForDeletion = 179,
    kMsgMaintenanceShutdownNotice = 180,
    kMsgMaintenanceWaitError = 181,
    kMsgMaintenanceExiting = 182,
    kMsgCouldNotDeleteSession = 204,
    kMsgSessionTimedOut = 205,
};

/// The whole table, sorted by id.
std::span<const StringEntry> EngineMessages();

/// Makes the engine's table the process's message table (LoadResourceString).
void RegisterEngineMessages();

} // namespace qm::engine
