// The admin web server's message table: the texts of its system log, by number.
#pragma once

namespace qm::portico {

/// Message numbers the server logs.
enum MessageId : int {
    kMsgInitializing = 1601,
    kMsgSocketsInitializing = 1602,
    kMsgListeningOn = 1603,
    kMsgListeningOnAll = 1604,
    kMsgLoadingCgis = 1605,
    kMsgCgiLoaded = 1606,
    kMsgStartingCgiLibraries = 1607,
    kMsgAwaitingConnections = 1609,
    kMsgShutdownNotice = 1610,
    kMsgClosingListenSockets = 1612,
    kMsgShuttingDownCgiLibraries = 1613,
    kMsgExiting = 1615,
    kMsgListenError = 1650,
    kMsgCannotFindCgi = 1651,
    kMsgErrorLoadingCgi = 1652,
    kMsgUnknownCgiKind = 1653,
    kMsgNoHtmlDirectory = 1654,
    kMsgNoCgiDirectory = 1655,
    kMsgNoMimeTypes = 1656,
    kMsgRealm = 1658,
    kMsgConnectionAccepted = 1664,
    kMsgCompletedOk = 1666,
    kMsgCompletedFailed = 1667,
    kMsgFlushingCgiPipe = 1668,
    kMsgReceiveOverflow = 1669,
    kMsgReceiveError = 1670,
    kMsgSendError = 1671,
    kMsgClosedUnexpectedly = 1672,
    kMsgGlobalAuthFailed = 1673,
    kMsgCgiAuthFailed = 1674,
    kMsgCannotOpenFile = 1675,
    kMsgRunning = 1676,
    kMsgAcceptError = 1677,
    kMsgCannotInitialize = 1680,
    kMsgErrorCode = 1681,
    kMsgNoConfiguration = 1682,
    kMsgCgiStartUpFailed = 1686,
    kMsgTimedOut = 1688,
    kMsgInvalidRequest = 1692,
    kMsgNoCgiInputFile = 1693,
    kMsgNoCgiOutputPipe = 1694,
};

/// Registers the table as the process's string table (once, at start, before other threads run).
void RegisterMessages();

} // namespace qm::portico
