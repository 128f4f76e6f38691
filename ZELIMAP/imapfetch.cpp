// imapfetch: see imapfetch.h.
#include "ZELIMAP/imapfetch.h"

#include <time.h>

#include <algorithm>

#include "ZELIMAP/imapcmd.h"
#include "ZELIMAP/imapdescribe.h"
#include "ZELIMAP/imapfolder.h"
#include "ZELIMAP/imapparsefetch.h"
#include "ZELIMAP/imapselect.h"
#include "ZELIMAP/imapsession.h"
#include "ZELIMAP/imapwrite.h"
#include "common/mimeimap.h"
#include "common/mimesection.h"

namespace {

// A sparse set is read a UID at a time rather than as one range.
constexpr uint32_t kSparseFactor = 4;

bool NeedsTexts(ImapFetchItem item) {
  return item == ImapFetchItem::kEnvelope || item == ImapFetchItem::kBodyStructure;
}

MimeSection SectionOf(const ImapSection &s) {
  MimeSection m;
  m.Part = s.Part;
  m.Fields = s.Fields;
  switch (s.Text) {
    case ImapSectionText::kNone: m.What = MimeSectionText::Full; break;
    case ImapSectionText::kHeader: m.What = MimeSectionText::Header; break;
    case ImapSectionText::kHeaderFields: m.What = MimeSectionText::HeaderFields; break;
    case ImapSectionText::kHeaderFieldsNot: m.What = MimeSectionText::HeaderFieldsNot; break;
    case ImapSectionText::kText: m.What = MimeSectionText::Text; break;
    case ImapSectionText::kMime: m.What = MimeSectionText::Mime; break;
  }
  return m;
}

// RFC822.HEADER and RFC822.TEXT are the top-level HEADER and TEXT
// sections under their old names.
MimeSection SectionOfAtt(const ImapFetchAtt &att) {
  MimeSection m = SectionOf(att.Section);
  if (att.Item == ImapFetchItem::kRfc822Header) m.What = MimeSectionText::Header;
  if (att.Item == ImapFetchItem::kRfc822Text) m.What = MimeSectionText::Text;
  return m;
}

// The whole message text, as BODY[] and RFC822 name it.
bool IsWholeText(const ImapFetchAtt &att) {
  return (att.Item == ImapFetchItem::kBodySection || att.Item == ImapFetchItem::kRfc822) &&
         att.Section.Part.empty() && att.Section.Text == ImapSectionText::kNone;
}

// The range <origin.length> of size bytes.
void PartialRange(const ImapFetchAtt &att, uint64_t size, uint64_t &start, uint64_t &count) {
  start = att.bPartial ? std::min(att.Origin, size) : 0;
  count = size - start;
  if (att.bPartial) count = std::min(count, att.Length);
}

// One message being answered.
struct MessageWork {
  _Connection *Conn;
  FetchJob *Job;
  SelectedView *View;
  SharedFolder *Folder;
  uint32_t Seq;
  const MsgMeta *Meta;
  const IndexRow *Row;       // with its texts, when read
  bool bSeenSet;             // \Seen was set by this FETCH
  MessageText Text;
  bool bLoaded = false;
  std::string *Out = nullptr;
  bool bTransmitting = false;

  bool Load() {
    if (bLoaded) return true;
    bLoaded = LoadMessageText(Folder->Index.Directory(), Meta->Name, Meta->bStuffed, Meta->Size,
                              Text);
    return bLoaded;
  }
  ImapRevision Revision() const {
    return Sess(Conn).bRev2 ? ImapRevision::Rev2 : ImapRevision::Rev1;
  }
};

void WriteData(std::string &out, std::string_view data, bool binary) {
  bool nul = binary && data.find('\0') != std::string_view::npos;
  WriteLiteralHead(out, data.size(), nul);
  out.append(data);
}

// BODY[] of an unstuffed file by sendfile: the rest of the message's
// response goes after it (its tail).
bool TryTransmit(MessageWork &w, const ImapFetchAtt &att) {
  if (w.bTransmitting || w.Meta->bStuffed || !IsWholeText(att)) return false;
  uint64_t start = 0, count = 0;
  PartialRange(att, w.Meta->Size, start, count);
  if (count < kFetchSendfileBytes) return false;
  ImapConn &c = Imap(w.Conn);
  uint64_t fileSize = 0;
  UniqueFd file(OpenFileForReadingAt(w.Folder->Index.Directory(), w.Meta->Name, &fileSize));
  if (!file.Valid() || fileSize < start + count) return false;
  WriteFetchItemName(*w.Out, att, Sess(w.Conn).bRev2);
  WriteLiteralHead(*w.Out, count, false);
  c.TransmitFile = std::move(file);
  c.TransmitOffset = start;
  c.TransmitLength = count;
  c.TransmitTail.clear();
  w.Out = &c.TransmitTail;
  w.bTransmitting = true;
  return true;
}

// A section's bytes (BODY[...], RFC822.*): false when the text is gone.
bool WriteSection(MessageWork &w, const ImapFetchAtt &att) {
  if (TryTransmit(w, att)) return true;
  if (!w.Load()) return false;
  std::string &out = *w.Out;
  WriteFetchItemName(out, att, Sess(w.Conn).bRev2);
  out += ' ';
  std::string_view bytes;
  MimeSectionBytes section;
  if (IsWholeText(att)) {
    bytes = w.Text.Text;
  } else if (MimeSectionContent(w.Text.Text, ParsedTree(w.Text), SectionOfAtt(att), &section)) {
    bytes = section.View(w.Text.Text);
  } else {
    WriteNil(out);
    return true;
  }
  uint64_t start = 0, count = 0;
  PartialRange(att, bytes.size(), start, count);
  WriteData(out, bytes.substr(start, count), false);
  return true;
}

// BINARY[part] and BINARY.SIZE[part]: the decoded content.
bool WriteBinary(MessageWork &w, const ImapFetchAtt &att) {
  if (!w.Load()) return false;
  std::string content;
  MimeBinaryStatus status =
      MimeBinaryContent(w.Text.Text, ParsedTree(w.Text), att.Section.Part, &content);
  std::string &out = *w.Out;
  WriteFetchItemName(out, att, Sess(w.Conn).bRev2);
  out += ' ';
  if (status == MimeBinaryStatus::UnknownEncoding) w.Job->bUnknownCte = true;
  if (status != MimeBinaryStatus::Ok) {
    if (att.Item == ImapFetchItem::kBinarySize) out += '0';
    else WriteNil(out);
    return true;
  }
  if (att.Item == ImapFetchItem::kBinarySize) {
    WriteNumber(out, content.size());
    return true;
  }
  uint64_t start = 0, count = 0;
  PartialRange(att, content.size(), start, count);
  WriteData(out, std::string_view(content).substr(start, count), true);
  return true;
}

bool WriteStructure(MessageWork &w, const ImapFetchAtt &att) {
  std::string &out = *w.Out;
  WriteFetchItemName(out, att, Sess(w.Conn).bRev2);
  out += ' ';
  bool extensible = att.Item == ImapFetchItem::kBodyStructure;
  const std::string *cached = w.Row == nullptr ? nullptr
                              : extensible ? &w.Row->BodyStructure
                                           : nullptr;
  if (cached != nullptr && !cached->empty()) {
    out += *cached;
    return true;
  }
  if (!w.Load()) return false;
  out += MimeBodyStructureText(w.Text.Text, ParsedTree(w.Text), extensible, w.Revision());
  return true;
}

bool WriteEnvelope(MessageWork &w) {
  std::string &out = *w.Out;
  out += "ENVELOPE ";
  if (w.Row != nullptr && !w.Row->Envelope.empty()) {
    out += w.Row->Envelope;
    return true;
  }
  if (!w.Load()) return false;
  out += MimeEnvelopeText(w.Text.Text, ParsedTree(w.Text));
  return true;
}

void WriteFlagsItem(MessageWork &w) {
  *w.Out += "FLAGS ";
  WriteFlags(*w.Out, w.Meta->Flags, w.Meta->Keywords, ViewRecent(*w.View, w.Meta->Uid));
}

void WriteModSeq(MessageWork &w) {
  *w.Out += "MODSEQ (";
  WriteNumber(*w.Out, w.Meta->ModSeq);
  *w.Out += ')';
}

bool WriteItem(MessageWork &w, const ImapFetchAtt &att) {
  std::string &out = *w.Out;
  switch (att.Item) {
    case ImapFetchItem::kFlags: WriteFlagsItem(w); return true;
    case ImapFetchItem::kUid:
      out += "UID ";
      WriteNumber(out, w.Meta->Uid);
      return true;
    case ImapFetchItem::kInternalDate:
      out += "INTERNALDATE \"" + InternalDateText(w.Meta->InternalDate) + "\"";
      return true;
    case ImapFetchItem::kRfc822Size:
      out += "RFC822.SIZE ";
      WriteNumber(out, w.Meta->Size);
      return true;
    case ImapFetchItem::kModSeq: WriteModSeq(w); return true;
    case ImapFetchItem::kEnvelope: return WriteEnvelope(w);
    case ImapFetchItem::kBodyStructure:
    case ImapFetchItem::kBody: return WriteStructure(w, att);
    case ImapFetchItem::kBinary:
    case ImapFetchItem::kBinarySize: return WriteBinary(w, att);
    case ImapFetchItem::kRfc822:
    case ImapFetchItem::kRfc822Header:
    case ImapFetchItem::kRfc822Text:
    case ImapFetchItem::kBodySection: return WriteSection(w, att);
  }
  return true;
}

bool Asks(const FetchJob &j, ImapFetchItem item) {
  for (const ImapFetchAtt &att : j.Args.Atts)
    if (att.Item == item) return true;
  return false;
}

// One message's response; false (nothing of it queued) when its text is
// gone.
bool WriteMessage(MessageWork &w) {
  ImapConn &c = Imap(w.Conn);
  FetchJob &j = *w.Job;
  w.Out = &c.Out;
  size_t mark = c.Out.size();
  WriteFetchBegin(c.Out, w.Seq);
  bool first = true;
  for (const ImapFetchAtt &att : j.Args.Atts) {
    if (!first) *w.Out += ' ';
    first = false;
    if (!WriteItem(w, att)) {
      c.Out.resize(mark);
      c.TransmitFile.Reset();
      c.TransmitTail.clear();
      return false;
    }
  }
  // Flags the FETCH changed are told with it (RFC 9051 6.4.5), with their
  // modseq under CONDSTORE (RFC 7162 3.1.4).
  bool flags = Asks(j, ImapFetchItem::kFlags);
  if (w.bSeenSet && !flags) {
    *w.Out += ' ';
    WriteFlagsItem(w);
    flags = true;
  }
  if (flags && Sess(w.Conn).bCondStore && !Asks(j, ImapFetchItem::kModSeq)) {
    *w.Out += ' ';
    WriteModSeq(w);
  }
  WriteFetchEnd(*w.Out);
  return true;
}

// Sets \Seen on the batch's messages that lack it; their UIDs.
std::vector<uint32_t> SetSeen(_Connection *conn, SharedFolder &f, const uint32_t *uids,
                              size_t count) {
  std::vector<uint32_t> unseen;
  for (size_t i = 0; i < count; ++i) {
    const MsgMeta *m = FindRow(f, uids[i]);
    if (m != nullptr && (m->Flags & kFlagSeen) == 0) unseen.push_back(uids[i]);
  }
  if (unseen.empty()) return unseen;
  FlagChange change;
  change.Mode = StoreMode::kAdd;
  change.Flags = kFlagSeen;
  StoreOutcome outcome;
  if (f.Index.StoreFlags(unseen, change, outcome) != ERROR_SUCCESS) return {};
  NoteRowsChanged(f, outcome.Changed, Sess(conn).View.get());
  unseen.clear();
  for (const IndexRow &row : outcome.Changed) unseen.push_back(row.Uid);
  return unseen;
}

// The batch's rows with their texts: one range query, or one per UID when
// the batch is sparse.
void ReadTexts(SharedFolder &f, const uint32_t *uids, size_t count, std::vector<IndexRow> &rows) {
  rows.clear();
  RowQuery q;
  if (uids[count - 1] - uids[0] < kSparseFactor * count) {
    q.FromUid = uids[0];
    q.ToUid = uids[count - 1];
    (void)f.Index.ReadRows(q, rows);
    return;
  }
  std::vector<IndexRow> one;
  for (size_t i = 0; i < count; ++i) {
    q.FromUid = q.ToUid = uids[i];
    if (f.Index.ReadRows(q, one) == ERROR_SUCCESS && !one.empty()) rows.push_back(std::move(one[0]));
  }
}

// UID FETCH ... (CHANGEDSINCE m VANISHED): the UIDs of the set expunged
// since m (RFC 7162 3.2.6).
void WriteVanishedSince(_Connection *conn, const ImapFetchArgs &a) {
  SharedFolder &f = *Sess(conn).View->Folder;
  std::lock_guard<std::mutex> guard(f.Lock);
  uint32_t largest = f.State.UidNext > 1 ? f.State.UidNext - 1 : 0;
  std::vector<ImapRange> vanished = VanishedSince(f, a.ChangedSince, NormalizeSeqSet(a.Set, largest));
  if (!vanished.empty()) WriteVanished(Imap(conn).Out, true, vanished);
}

void FinishFetch(_Connection *conn) {
  SessionConn &s = Sess(conn);
  FetchJob &j = *s.Fetch;
  if (j.bUnknownCte)
    ImapReply(conn, j.Tag, "NO [UNKNOWN-CTE] A part's transfer encoding is unknown");
  else if (j.bExpungeIssued)
    ImapReply(conn, j.Tag, "NO [EXPUNGEISSUED] Some messages were expunged meanwhile");
  else
    ImapReply(conn, j.Tag, "OK FETCH completed");
  s.Fetch.reset();
  Imap(conn).Continue = nullptr;
}

ImapGo FetchMore(_Connection *conn) {
  ImapConn &c = Imap(conn);
  SessionConn &s = Sess(conn);
  FetchJob &j = *s.Fetch;
  SelectedView &v = *s.View;
  SharedFolder &f = *v.Folder;
  size_t end = std::min(j.Next + kFetchBatch, j.Uids.size());
  if (j.Next >= end) {
    FinishFetch(conn);
    return ImapGo::kOn;
  }
  const uint32_t *batch = j.Uids.data() + j.Next;
  size_t count = end - j.Next;
  bool woke = false;
  {
    std::lock_guard<std::mutex> guard(f.Lock);
    std::vector<uint32_t> seen;
    if (j.bSetSeen) seen = SetSeen(conn, f, batch, count);
    woke = !seen.empty();
    std::vector<IndexRow> rows;
    if (j.bNeedTexts) ReadTexts(f, batch, count, rows);
    size_t r = 0;
    for (size_t i = 0; i < count; ++i) {
      ++j.Next;
      uint32_t uid = batch[i];
      const MsgMeta *meta = ViewRow(v, uid);
      if (meta == nullptr) {
        j.bExpungeIssued = true;
        continue;
      }
      if (j.Args.bChangedSince && meta->ModSeq <= j.Args.ChangedSince) continue;
      while (r < rows.size() && rows[r].Uid < uid) ++r;
      MessageWork w{conn, &j, &v, &f, ViewSeqOfUid(v, uid), meta,
                    r < rows.size() && rows[r].Uid == uid ? &rows[r] : nullptr,
                    std::binary_search(seen.begin(), seen.end(), uid), {}};
      if (!WriteMessage(w)) j.bExpungeIssued = true;
      if (w.bTransmitting || c.Out.size() >= kImapSendChunk) break;
    }
  }
  if (woke) WakeIdlers(f.Id);
  if (j.Next >= j.Uids.size() && !c.TransmitFile.Valid()) FinishFetch(conn);
  return ImapGo::kOn;
}

}  // namespace

std::string InternalDateText(int64_t seconds) {
  static const char *const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  time_t t = static_cast<time_t>(seconds);
  struct tm tm;
  if (gmtime_r(&t, &tm) == nullptr) return " 1-Jan-1970 00:00:00 +0000";
  char buf[64];
  snprintf(buf, sizeof buf, "%2d-%s-%04d %02d:%02d:%02d +0000", tm.tm_mday, kMonths[tm.tm_mon],
           tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return buf;
}

ImapGo CmdFetch(_Connection *conn, const ImapCommandView &cmd) {
  ImapConn &c = Imap(conn);
  SessionConn &s = Sess(conn);
  auto job = std::make_unique<FetchJob>();
  ImapError error;
  if (!ParseFetch(cmd.Args, cmd.bUid, job->Args, error)) return ImapFailed(conn, cmd.Tag, error);
  if (job->Args.bVanished && !s.bQresync) {
    ImapReply(conn, cmd.Tag, "BAD VANISHED needs QRESYNC enabled");
    return ImapGo::kOn;
  }
  // CHANGEDSINCE and MODSEQ turn CONDSTORE on (RFC 7162 3.1).
  if (job->Args.bChangedSince || Asks(*job, ImapFetchItem::kModSeq)) s.bCondStore = true;
  if (!ViewUidsOfSet(conn, job->Args.Set, cmd.bUid, job->Uids)) {
    ImapReply(conn, cmd.Tag, "BAD Invalid message sequence number");
    return ImapGo::kOn;
  }
  job->Tag = std::string(cmd.Tag);
  for (const ImapFetchAtt &att : job->Args.Atts) {
    job->bNeedTexts = job->bNeedTexts || NeedsTexts(att.Item);
    job->bSetSeen = job->bSetSeen || (FetchSetsSeen(att) && !s.View->bReadOnly);
  }
  if (job->Args.bVanished) WriteVanishedSince(conn, job->Args);
  s.Fetch = std::move(job);
  c.Continue = FetchMore;
  return ImapGo::kOn;
}
