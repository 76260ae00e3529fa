#include "app/vlanclient.h"

// Adapter back-ends; replaced by the platform back-ends.
void VLANClient::startAdapter(const QString&) {}
void VLANClient::stopAdapters() {}
void VLANClient::startWintunAdapter(const QString&) {}
void VLANClient::stopWintunAdapter() {}
unsigned long VLANClient::wintunReaderThread(void*) { return 0; }
void VLANClient::writeToAdapter(const QByteArray&) {}
void VLANClient::startTapAdapter(const QString&) {}
QString VLANClient::findTapAdapter(QString&) { return {}; }
unsigned long VLANClient::tapReaderThread(void*) { return 0; }
void VLANClient::stopTapAdapter() {}
void VLANClient::showAdapterFailure(const QString&, const QString&) {}
void VLANClient::onAdapterModeChanged() {}
