#include "inspect/PortInfoText.h"

namespace quillet {
namespace {

void AppendPort(std::string& out, std::string_view port, const PortDatabases& db)
{
    out.append("   ").append(port);
    out.append("\r\n [IANA]: ").append(PortDatabases::InfoLookup(db.dIana, port));
    out.append("\r\n [PREDEF]: ").append(PortDatabases::InfoLookup(db.dPredefs, port));
    out.append("\r\n [TROJAN]: ").append(PortDatabases::InfoLookup(db.dTrojans, port));
}

}  // namespace

std::string PortInfoText(std::string_view srcPort, std::string_view destPort, const PortDatabases& db)
{
    std::string out;
    AppendPort(out, srcPort, db);
    out.append("\r\n");
    AppendPort(out, destPort, db);
    return out;
}

}  // namespace quillet
