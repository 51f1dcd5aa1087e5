// Where the running window is found on the session bus: the window offers
// these names, zoemlijn-cli calls them.
#pragma once

namespace zoemlijnbus {

inline constexpr char kService[] = "nl.vlinderwerk.Zoemlijn";
inline constexpr char kPath[] = "/nl/vlinderwerk/Zoemlijn";
inline constexpr char kInterface[] = "nl.vlinderwerk.Zoemlijn1";
// The window refused a send; the message says why, as the window would.
inline constexpr char kErrorRefused[] = "nl.vlinderwerk.Zoemlijn1.Error.Refused";
// A number or text the window's fields would not take.
inline constexpr char kErrorInvalidArgs[] = "org.freedesktop.DBus.Error.InvalidArgs";

} // namespace zoemlijnbus
