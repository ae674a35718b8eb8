#include <linux/types.h>

#include "recognise/apps.h"

#define K QARN_KEPT
const struct qarn_app_info qarn_apps[QARN_APP_COUNT] = {
	[QARN_APP_NONE] = { 0, 0, 0, "unclassified", "none" },
	[QARN_APP_GAME_SERVER] = { QARN_CLASS_GAME, 1, 1, "game-server", "game-server table" },
	[QARN_APP_GAME_UDP] = { QARN_CLASS_GAME, 1, 3, "game-udp", "UDP game signature" },
	[QARN_APP_DNS] = { 2, 12, 1, "dns", "P2P tracker, DNS port" },
	[QARN_APP_WEB_FIRST] = { QARN_CLASS_UNSETTLED, 10, K, "web-first-packets",
		"first packets of a web connection" },
	[QARN_APP_WEB_PAGE] = { QARN_CLASS_WEB, 11, 1, "web-page", "HTTP content classifier" },
	[QARN_APP_FTP] = { QARN_CLASS_WEB, 11, QARN_WEB_ID_FTP, "ftp", "LAN-side FTP port" },
	[QARN_APP_CONFERENCE] = { QARN_CLASS_BULK, 1, K, "conference", "conference signature" },
	[QARN_APP_REPLY_RATE] = { QARN_CLASS_BULK, 50, 2, "high-reply-rate", "reply-rate check" },
	[QARN_APP_P2P_BULK] = { QARN_CLASS_BULK, 50, 3, "p2p-udp", "P2P tracker" },
	[QARN_APP_FRAMED] = { 6, 51, 1, "framed-messages", "framed-message check" },
	[QARN_APP_WEB_VIDEO] = { 7, 52, 1, "web-video", "HTTP content classifier" },
	[QARN_APP_P2P_SIGNATURE] = { 7, 52, 63, "p2p-udp", "P2P tracker" },
	[QARN_APP_P2P_KIND_34] = { QARN_CLASS_P2P, 53, 9, "p2p-udp", "P2P tracker" },
	[QARN_APP_P2P_KIND_95] = { QARN_CLASS_P2P, 53, 13, "p2p-udp", "P2P tracker" },
	[QARN_APP_P2P_KIND_3] = { QARN_CLASS_P2P, 53, 12, "p2p-udp", "P2P tracker" },
	[QARN_APP_WEB_DOWNLOAD] = { 9, 54, 2, "web-download",
		"HTTP content classifier or re-check" },
	[QARN_APP_P2P_STREAM] = { QARN_CLASS_BACKGROUND, 57, 1, "p2p-udp", "P2P tracker" },
	[QARN_APP_UPLOAD] = { QARN_CLASS_BACKGROUND, 57, 3, "upload", "re-check" },
	[QARN_APP_RANGED_DOWNLOAD] = { QARN_CLASS_BACKGROUND, 57, 4, "web-ranged-download",
		"HTTP content classifier" },
	[QARN_APP_VIDEO_SERVICE] = { QARN_CLASS_BACKGROUND, 57, K, "video-service",
		"video-service check" },
	[QARN_APP_EMAIL] = { 11, 13, K, "email", "e-mail check" },
	[QARN_APP_OUTSIDE] = { QARN_CLASS_OUTSIDE, 2, K, "outside-recognition",
		"dir_code 100 to 103" },
	[QARN_APP_GAME_FLOW] = { QARN_CLASS_GAME, 1, 4, "game-flow", "P2P tracker, game shape" },
	[QARN_APP_NTP] = { 2, 12, 2, "ntp", "NTP header" },
	[QARN_APP_TLS] = { QARN_CLASS_WEB, 11, 6, "tls", "TLS handshake" },
	[QARN_APP_QUIC] = { QARN_CLASS_WEB, 11, 7, "quic", "QUIC initial packet" },
	[QARN_APP_SSH] = { QARN_CLASS_WEB, 11, 8, "ssh", "SSH banner" },
	[QARN_APP_TLS_VIDEO] = { 7, 52, 2, "tls-video", "TLS server name" },
	[QARN_APP_QUIC_VIDEO] = { 7, 52, 3, "quic-video", "QUIC server name" },
	[QARN_APP_FTP_DATA] = { 9, 54, 3, "ftp-data",
		"FTP data port or passive reply" },
	[QARN_APP_BITTORRENT] = { QARN_CLASS_P2P, 53, 20, "bittorrent", "BitTorrent handshake" },
	[QARN_APP_BITTORRENT_DHT] = { QARN_CLASS_P2P, 53, 21, "bittorrent-dht",
		"BitTorrent DHT message" },
	[QARN_APP_UTP] = { QARN_CLASS_P2P, 53, 22, "utp", "uTP SYN" },
	[QARN_APP_OPENVPN] = { QARN_CLASS_VPN, 0, 1, "openvpn", "OpenVPN reset" },
	[QARN_APP_WIREGUARD] = { QARN_CLASS_VPN, 0, 2, "wireguard", "WireGuard handshake" },
	[QARN_APP_L2TP] = { QARN_CLASS_VPN, 0, 3, "l2tp", "L2TP header" },
	[QARN_APP_IKE] = { QARN_CLASS_VPN, 0, 4, "ike", "IKE header" },
	[QARN_APP_VPN] = { QARN_CLASS_VPN, K, K, "vpn", "VPN port" },
	[QARN_APP_EXEMPT] = { QARN_CLASS_EXEMPT, K, K, "exempt", "address list" },
};
#undef K

enum qarn_app qarn_app_of_mark(u32 mark)
{
	unsigned int i;

	for (i = 0; i < QARN_APP_COUNT; i++)
		if (qarn_mark_is(mark, (enum qarn_app)i))
			return (enum qarn_app)i;
	return QARN_APP_COUNT;
}
