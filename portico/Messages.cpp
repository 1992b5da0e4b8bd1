#include "portico/Messages.h"

#include "common/StringTable.h"

#include <iterator>

namespace qm::portico {
namespace {

// Sorted by id, as SetStringTable wants.
constexpr StringEntry kMessages[] = {
        {1600, "----- %s %s Log file starting -----"},
        {1601, "Portico initializing..."},
        {1602, "Winsock 2.0 initializing..."},
        {1603, "Listening on %s, port %d..."},
        {1604, "Listening on all IPs, port %d..."},
        {1605, "Loading CGIs..."},
        {1606, "CGI %s loaded successfully."},
        {1607, "Starting up CGI DLLs..."},
        {1609, "Portico is awaiting connections..."},
        {1610, "Portico received shutdown notice."},
        {1612, "Closing listen sockets..."},
        {1613, "Shutting down CGI DLLs..."},
        {1614, "----- %s %s Log file stopping -----"},
        {1615, "Portico exiting."},
        {1648, "----- %s %s Log file rotating -----"},
        {1649, "----- %s %s Log file too large -----"},
        {1650, "Winsock listen error: %d."},
        {1651, "Cannot find CGI %s."},
        {1652, "Error %d loading CGI %s."},
        {1653, "Don't know what to do with %s."},
        {1654, "Could not find HTML directory."},
        {1655, "Could not find CGI directory."},
        {1656, "Could not load MimeTypes.cfg."},
        {1658, "Secure Area"},
        {1664, "Connection accepted from %s."},
        {1666, "Connection completed successfully, %d bytes transferred."},
        {1667, "Connection completed unsuccessfully, %d bytes transferred."},
        {1668, "Flushing CGI pipe."},
        {1669, "Receive buffer overflow."},
        {1670, "Winsock receive error: %d."},
        {1671, "Winsock send error : %d."},
        {1672, "Connection closed unexpectedly."},
        {1673, "Global authentication failed (%s)."},
        {1674, "CGI authentication failed (%s)."},
        {1675, "Could not open file %s."},
        {1676, "Running %s..."},
        {1677, "Winsock accept error: %d."},
        {1680, "Could not initialize.  \n\n%s"},
        {1681, "Error code %d.\n"},
        {1682, "Could not find configuration file.  \n%s  \n"},
        {1683, "Error %d initializing Winsock 2.0."},
        {1686, "CGI %s could not start up."},
        {1687, "Error %d initializing timer."},
        {1688, "Connection timed out."},
        {1689, "Socket wait error: %d."},
        {1690, "CGI handle wait error: %d."},
        {1692, "Invalid HTTP request."},
        {1693, "Could not create CGI input file, error code %d."},
        {1694, "Could not create CGI output pipe, error code %d."},
};

} // namespace

void RegisterMessages()
{
    SetStringTable(kMessages, std::size(kMessages));
}

} // namespace qm::portico
