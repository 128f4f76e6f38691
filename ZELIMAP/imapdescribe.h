// imapdescribe: a message's text and structure, from its file: the
// describer the folder index calls once per message at first sight (size,
// stuffing, ENVELOPE and BODYSTRUCTURE texts), and the loading of a
// message's text for FETCH and SEARCH.
//
// A message file is in the SMTP form (common/mimestuff): a file without a
// stuffed line holds the text as a plain range of itself (mapped, and sent
// by sendfile by FETCH); a stuffed one is unstuffed into memory. A message
// whose BODYSTRUCTURE differs between the revisions (it holds a
// message/global part) gets no cached text: FETCH makes it for each
// session's revision.
//
// Callers: the folder index (through IndexOptions::Describe, on the
// session's workers) and the FETCH and SEARCH handlers. The files are the
// user's own and untrusted: common/mime parses bounded. Failures: false
// with the last error (a file gone: ERROR_FILE_NOT_FOUND).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/mailstoreindex.h"
#include "common/mimeparse.h"
#include "platform/fileview.h"

MessageDescription DescribeMessageFile(std::string_view fileBytes);

// A message's text: a view of the mapped file, or of the unstuffed copy.
struct MessageText {
  MappedView Map;
  std::string Copy;
  std::string_view Text;
  bool bParsed = false;
  MimeTree Tree;            // once Parse ran
};

// Loads the text of the message file name in the folder directory dirFd
// (stuffed: whether the file has stuffed lines; size: the text's length).
bool LoadMessageText(int dirFd, const std::string &name, bool stuffed, uint64_t size,
                     MessageText &out);
// The MIME tree of a loaded text (parsed once).
const MimeTree &ParsedTree(MessageText &message);
