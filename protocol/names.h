// The control channel's vocabulary: every command and field name, written
// once for the client and the server. Latin-1 views cost no allocation to
// compare, and turn into a QString where a JSON key or value needs one.
#pragma once

#include <QLatin1String>

namespace cmd {
// Client to server.
inline constexpr QLatin1String login{"login"};
inline constexpr QLatin1String getRooms{"get_rooms"};
inline constexpr QLatin1String createRoom{"create_room"};
inline constexpr QLatin1String joinRoom{"join_room"};
inline constexpr QLatin1String leaveRoom{"leave_room"};
inline constexpr QLatin1String kickPlayer{"kick_player"};
inline constexpr QLatin1String transferHost{"transfer_host"};
inline constexpr QLatin1String invite{"invite"};
inline constexpr QLatin1String candidates{"candidates"};
inline constexpr QLatin1String rekey{"rekey"};
// Optional: how the client reaches each room mate (servers that do not know it ignore it).
inline constexpr QLatin1String pathReport{"path_report"};
// Both ways: a client sends these, the server relays them.
inline constexpr QLatin1String chat{"chat"};
inline constexpr QLatin1String globalChat{"global_chat"};
inline constexpr QLatin1String privateMessage{"private_message"};
// Server to client.
inline constexpr QLatin1String loginOk{"login_ok"};
inline constexpr QLatin1String roomList{"room_list"};
inline constexpr QLatin1String onlineUsers{"online_users"};
inline constexpr QLatin1String joinOk{"join_ok"};
inline constexpr QLatin1String passwordRequired{"password_required"};
inline constexpr QLatin1String roomUpdate{"room_update"};
inline constexpr QLatin1String kicked{"kicked"};
inline constexpr QLatin1String error{"error"};
inline constexpr QLatin1String tunnelKey{"tunnel_key"};
inline constexpr QLatin1String directPeers{"direct_peers"};
} // namespace cmd

namespace field {
inline constexpr QLatin1String cmd{"cmd"};
inline constexpr QLatin1String username{"username"};
inline constexpr QLatin1String clientId{"client_id"};
inline constexpr QLatin1String roomName{"room_name"};
inline constexpr QLatin1String password{"password"};
inline constexpr QLatin1String privacyMode{"privacy_mode"};
inline constexpr QLatin1String layer{"layer"};
inline constexpr QLatin1String target{"target"};
inline constexpr QLatin1String message{"message"};
inline constexpr QLatin1String sender{"sender"};
inline constexpr QLatin1String rooms{"rooms"};
inline constexpr QLatin1String users{"users"};
inline constexpr QLatin1String peers{"peers"};
inline constexpr QLatin1String vip{"vip"};
inline constexpr QLatin1String isHost{"is_host"};
inline constexpr QLatin1String tunnelKey{"tunnel_key"};
inline constexpr QLatin1String tunnelIndex{"tunnel_index"};
inline constexpr QLatin1String tunnelPhase{"tunnel_phase"};
inline constexpr QLatin1String addresses{"addresses"};
inline constexpr QLatin1String pair{"pair"};
inline constexpr QLatin1String side{"side"};
inline constexpr QLatin1String key{"key"};
inline constexpr QLatin1String candidates{"candidates"};
inline constexpr QLatin1String privateAddress{"private"};
inline constexpr QLatin1String birthday{"birthday"};
inline constexpr QLatin1String mappingPort{"mapping_port"};
inline constexpr QLatin1String paths{"paths"};
inline constexpr QLatin1String path{"path"};
inline constexpr QLatin1String rttMs{"rtt_ms"};
} // namespace field

// A direct pair's birthday probe: the role a peer entry gives its reader.
namespace birthday {
inline constexpr QLatin1String spray{"spray"}; // open many ports toward the peer's one
inline constexpr QLatin1String scan{"scan"};   // try ports of the peer's address
} // namespace birthday
