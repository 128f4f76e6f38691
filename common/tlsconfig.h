// tlsconfig: the servers' TLS certificate pair, loaded at start and again on
// every reload (SIGHUP, the Reload hook of common/service).
//
// Callers: the receiver and the POP3 server, from their Init hook and as
// their Reload hook. Loading reads the suite values TlsCertificateFile and
// TlsKeyFile (common/loadcfig), makes the pair's two server contexts
// (platform/tls: the broad profile for port 25, the strict one for the
// ports people log on to) and makes them current; every new TLS session
// takes the one its listener asks for. A pair
// that cannot be loaded (a missing file, garbage, a key that belongs to
// another certificate) is reported as an event and changes nothing: the
// pair loaded before stays in use, and sessions already running keep the
// context they started with in any case. No certificate configured: the
// current context is cleared and TLS is not offered.
//
// The files are the administrator's; their contents are parsed bounded by
// platform/tls. May run on any thread, also while the engine's workers start
// sessions.
#pragma once

// Loads the configured pair; true when a certificate is in use afterwards.
bool LoadTlsCertificate();
// The same, for the Reload hook.
void ReloadTlsCertificate();
