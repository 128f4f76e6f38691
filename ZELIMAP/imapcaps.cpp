// imapcaps: see imapcaps.h.
#include "ZELIMAP/imapcaps.h"

#include "ZELIMAP/imapcfg.h"
#include "ZELIMAP/imapwrite.h"
#include "common/service.h"

std::string ImapCapabilityText(const ImapCapabilityContext &context) {
  ImapCapabilityOptions options;
  options.bLoggedOn = context.bLoggedOn;
  options.bStartTls = context.bOfferStartTls;
  options.bLogonAllowed = context.bLogonAllowed;
  options.AppendLimit = ImapAppendLimit;
  std::string text;
  WriteCapabilities(text, options);
  return text;
}

std::string ImapIdResponse() {
  return std::string("* ID (\"name\" \"ZEL\" \"version\" \"") + ThisServiceVersion() + "\")\r\n";
}
