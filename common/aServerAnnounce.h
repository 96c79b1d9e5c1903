// Announcing a link-sharing server to discovery: a server of this host alone
// answers the loop-back multicast probe from a slot of its own; any other
// runs a UDP beacon that publishes its network spec when it hears a search.
#pragma once

#include "common/aDiscovery.h"
#include "common/aServer.h"

// Chooses and starts the answerer (before the client socket is bound): sets
// advertisedAddress, discovery and discoveryIsBeacon, and may replace the
// interface with the host's first one.
void _configureInterface(aServer* server);
// True once the model is known: only then is discovery answered.
bool _isDiscoveryConfigured(const aServer* server);
// On the broker, when the beacon has input and the model is set: reads the
// beacon's message and, for a search heard while silent, publishes the spec.
void _serverWorker_broker_beacon(aServer* server, const linkSpec& spec);
