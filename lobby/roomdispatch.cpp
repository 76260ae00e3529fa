#include "app/vlanclient.h"

// Joined-room messages; filled in with the rooms feature.
void VLANClient::handleJoinOk(const QJsonObject&) {}
void VLANClient::handlePasswordRequired(const QJsonObject&) {}
void VLANClient::handleRoomUpdate(const QJsonObject&) {}
void VLANClient::handleKicked(const QJsonObject&) {}
void VLANClient::handleChat(const QJsonObject&) {}
