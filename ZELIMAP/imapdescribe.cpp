// imapdescribe: see imapdescribe.h.
#include "ZELIMAP/imapdescribe.h"

#include "common/mimeimap.h"
#include "common/mimestuff.h"

MessageDescription DescribeMessageFile(std::string_view fileBytes) {
  MessageDescription d;
  d.Stuffed = MimeFileIsStuffed(fileBytes);
  std::string copy;
  std::string_view text = fileBytes.substr(0, MimeFileTextEnd(fileBytes));
  if (d.Stuffed) {
    MimeTextFromFile(fileBytes, &copy);
    text = copy;
  }
  d.TextSize = text.size();
  MimeTree tree;
  MimeParseMessage(text, &tree);
  d.Envelope = MimeEnvelopeText(text, tree);
  // A structure that depends on the revision is made per session.
  if (!MimeTextsDependOnRevision(tree))
    d.BodyStructure = MimeBodyStructureText(text, tree, true, ImapRevision::Rev1);
  return d;
}

bool LoadMessageText(int dirFd, const std::string &name, bool stuffed, uint64_t size,
                     MessageText &out) {
  uint64_t fileSize = 0;
  UniqueFd file(OpenFileForReadingAt(dirFd, name, &fileSize));
  if (!file.Valid()) return false;
  out.Text = {};
  if (fileSize != 0 && !out.Map.Map(file.Get(), static_cast<size_t>(fileSize))) return false;
  std::string_view bytes = fileSize == 0 ? std::string_view() : out.Map.View();
  if (stuffed) {
    MimeTextFromFile(bytes, &out.Copy);
    out.Map.Unmap();
    out.Text = out.Copy;
  } else {
    // The index's size is the text's; a shorter file was cut since.
    out.Text = bytes.substr(0, static_cast<size_t>(std::min<uint64_t>(size, bytes.size())));
  }
  return true;
}

const MimeTree &ParsedTree(MessageText &message) {
  if (!message.bParsed) {
    MimeParseMessage(message.Text, &message.Tree);
    message.bParsed = true;
  }
  return message.Tree;
}
