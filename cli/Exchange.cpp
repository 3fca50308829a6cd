#include "cli/Exchange.h"

#include <algorithm>
#include <chrono>
#include <optional>

#include "protocol/HexText.h"
#include "protocol/Reply.h"

namespace {

using std::chrono::milliseconds;

long MsBetween(TClock::time_point from, TClock::time_point to) {
    return static_cast<long>(std::chrono::duration_cast<milliseconds>(to - from).count());
}

std::string Plural(size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// Keeps the first ReplyKeptBytes of what arrives and counts the rest.
void Take(TExchangeResult& result, std::vector<uint8_t>& chunk) {
    const size_t room = ReplyKeptBytes - std::min(ReplyKeptBytes, result.Reply.size());
    result.Reply.insert(result.Reply.end(), chunk.begin(), chunk.begin() + std::min(room, chunk.size()));
    result.ReplyBytes += chunk.size();
    chunk.clear();
}

// Step 1: what waits before the send. Empty when the link may be sent to; otherwise the
// outcome that ends the exchange.
std::optional<TExchangeOutcome> Drain(TLink& link, TExchangeResult& result, bool used) {
    result.Discarded = link.PurgeInput();
    const auto start = link.Now();
    std::vector<uint8_t> chunk;
    // On a link just opened the line must be quiet for DrainQuietMs before the frame goes:
    // bytes a peer sends as a link opens may still be on their way. A link used before
    // was quiet when its last exchange ended; what came since is waiting already.
    TLinkWait wait = link.Receive(chunk, used ? start : start + milliseconds(DrainQuietMs));
    while (wait == TLinkWait::Data) {
        result.Discarded += chunk.size();
        chunk.clear();
        if (result.Discarded > DrainMaxBytes || link.Now() - start >= milliseconds(DrainMaxMs)) {
            result.LinkReason = link.Describe() + " is still sending (" + Plural(result.Discarded, "byte", "bytes") +
                                " in " + std::to_string(MsBetween(start, link.Now())) +
                                " ms before the frame); nothing was sent to it";
            return TExchangeOutcome::NotSent;
        }
        wait = link.Receive(chunk, std::min(link.Now() + milliseconds(DrainQuietMs), start + milliseconds(DrainMaxMs)));
    }
    if (wait == TLinkWait::Lost) {
        result.LinkReason = link.LostReason();
        result.LinkLost = true;
        return TExchangeOutcome::NotSent;
    }
    if (wait == TLinkWait::Interrupted) {
        result.LinkReason = "interrupted before the frame was sent";
        return TExchangeOutcome::Interrupted;
    }
    return std::nullopt;
}

// Collects until deadline; the wait that ended it. A peer that never pauses still meets
// the deadline: it is checked after each chunk, not only when the line is quiet.
TLinkWait Collect(TLink& link, TExchangeResult& result, TClock::time_point deadline) {
    std::vector<uint8_t> chunk;
    for (;;) {
        const TLinkWait wait = link.Receive(chunk, deadline);
        if (wait != TLinkWait::Data) return wait;
        Take(result, chunk);
        if (link.Now() >= deadline) return TLinkWait::Deadline;
    }
}

void NoteLost(TLink& link, TExchangeResult& result) {
    result.LinkLost = true;
    result.LinkReason = link.LostReason();
}

void Judge(TExchangeResult& result, uint8_t replyKind) {
    std::vector<uint8_t> buffer(ReplyBufferBytes, 0);
    int32_t count = 0;
    GatherReplyBytes(buffer.data(), count, result.Reply.data(), result.Reply.size());
    const auto received = static_cast<int32_t>(std::min<size_t>(result.ReplyBytes, INT32_MAX));
    const TReplyVerdict verdict = JudgeReply(replyKind, received, buffer.data());
    result.Outcome = verdict.Accepted ? TExchangeOutcome::Accepted : TExchangeOutcome::WrongLength;
    result.ResultLine = verdict.Line.value_or("");
}

} // namespace

const char* OutcomeName(TExchangeOutcome outcome) {
    switch (outcome) {
    case TExchangeOutcome::Accepted:
        return "accepted";
    case TExchangeOutcome::WrongLength:
        return "wrong length";
    case TExchangeOutcome::NoReply:
        return "no reply";
    case TExchangeOutcome::LateReply:
        return "late reply";
    case TExchangeOutcome::NotSent:
        return "not sent";
    case TExchangeOutcome::LostAfterSend:
        return "lost after send";
    case TExchangeOutcome::Interrupted:
        return "interrupted";
    case TExchangeOutcome::Sent:
        break;
    }
    return "sent";
}

std::string OutcomeDetail(const TExchangeResult& r) {
    switch (r.Outcome) {
    case TExchangeOutcome::Accepted:
        return r.ResultLine.empty() && !r.Reply.empty() ? "accepted, but the ELN is empty (its first byte is 00)" : "";
    case TExchangeOutcome::WrongLength:
        return "no result: " + Plural(r.ReplyBytes, "byte", "bytes") + " received, a reply is 13, 15 or 20 bytes";
    case TExchangeOutcome::NoReply:
        return "no reply within " + std::to_string(ReplyTimeoutMs) + " ms";
    case TExchangeOutcome::LateReply:
        return "late reply: the device answered " + std::to_string(r.FirstByteMs) +
               " ms after the frame and may have taken the ID (" + Plural(r.ReplyBytes, "byte", "bytes") + ")";
    case TExchangeOutcome::NotSent:
        return "not sent: " + r.LinkReason;
    case TExchangeOutcome::LostAfterSend:
        return "lost after send: " + r.LinkReason + "; the frame may have left, the device may have taken it";
    case TExchangeOutcome::Interrupted:
        return r.Sent > 0 ? "interrupted after the frame was sent: the device may have taken it" : "interrupted";
    case TExchangeOutcome::Sent:
        break;
    }
    return "";
}

std::string ReplyText(const TExchangeResult& r) {
    std::string text = HexText(r.Reply);
    if (r.ReplyBytes > r.Reply.size()) text += " ... (" + std::to_string(r.ReplyBytes) + " bytes)";
    return text;
}

unsigned QuietGapFor(const TLinkSettings& link, int quietGapMs) {
    if (quietGapMs > 0) return static_cast<unsigned>(quietGapMs);
    return static_cast<unsigned>(DefaultQuietGapMs(link.Kind == TLinkSettings::TKind::Serial ? link.Baud : 0));
}

TExchangeResult RunExchange(TLink& link, const std::vector<uint8_t>& frame, const TExchangeRule& rule) {
    TExchangeResult result;
    result.Frame = frame;
    const bool used = link.Used;
    link.Used = true;
    if (const auto ended = Drain(link, result, used)) {
        result.Outcome = *ended;
        return result;
    }

    const auto sentAt = link.Now();
    auto finish = [&](TExchangeOutcome outcome) {
        result.Outcome = outcome;
        result.ElapsedMs = MsBetween(sentAt, link.Now());
        return result;
    };
    const TSendResult sent = link.Send(frame.data(), frame.size(), sentAt + milliseconds(SendTimeoutMs));
    result.Sent = sent.Sent;
    if (sent.Sent < frame.size()) {
        result.LinkReason = sent.Reason;
        result.LinkLost = sent.Status == TLinkWait::Lost;
        if (sent.Status == TLinkWait::Interrupted) return finish(TExchangeOutcome::Interrupted);
        return finish(sent.Sent == 0 ? TExchangeOutcome::NotSent : TExchangeOutcome::LostAfterSend);
    }

    if (!rule.Judge) {
        const TLinkWait wait = Collect(link, result, sentAt + milliseconds(rule.ListenMs));
        if (result.ReplyBytes > 0) result.FirstByteMs = 0;
        if (wait == TLinkWait::Interrupted) return finish(TExchangeOutcome::Interrupted);
        if (wait == TLinkWait::Lost) NoteLost(link, result);
        return finish(rule.ListenMs > 0 && result.ReplyBytes == 0 ? TExchangeOutcome::NoReply : TExchangeOutcome::Sent);
    }

    // The verdict's moment moves with what arrives: the window's second after the first
    // byte, or with the quick rule as soon as an accepted length is followed by quiet.
    TLinkWait wait = TLinkWait::Deadline;
    std::vector<uint8_t> chunk;
    TReplyProgress progress;
    for (;;) {
        TJudgeTime judge = ReplyJudgeTime(progress, static_cast<long>(rule.QuietGapMs));
        if (progress.Bytes == 0) judge.AtMs = static_cast<long>(rule.NoReplyMs);
        wait = link.Receive(chunk, sentAt + milliseconds(judge.AtMs));
        if (wait != TLinkWait::Data) {
            result.JudgedBy = judge.Rule;
            break;
        }
        const long now = MsBetween(sentAt, link.Now());
        if (progress.Bytes == 0) progress.FirstByteMs = result.FirstByteMs = now;
        progress.Bytes += chunk.size();
        progress.LastByteMs = now;
        Take(result, chunk);
        // A stream without a pause is judged at its time all the same.
        const TJudgeTime due = ReplyJudgeTime(progress, static_cast<long>(rule.QuietGapMs));
        if (now >= due.AtMs) {
            wait = TLinkWait::Deadline;
            result.JudgedBy = due.Rule;
            break;
        }
    }
    if (wait == TLinkWait::Interrupted) return finish(TExchangeOutcome::Interrupted);
    if (result.ReplyBytes > 0) {
        // A peer that answered and then went away still answered.
        if (wait == TLinkWait::Lost) NoteLost(link, result);
        Judge(result, rule.ReplyKind);
        return finish(result.Outcome);
    }
    if (wait == TLinkWait::Lost) {
        NoteLost(link, result);
        return finish(TExchangeOutcome::LostAfterSend);
    }

    // No reply: listen before the link is used again, so that a late answer is this
    // frame's and nobody else's.
    result.ResultLine = ReplyErrorLine;
    wait = link.Receive(chunk, sentAt + milliseconds(rule.NoReplyMs + rule.SettleMs));
    if (wait == TLinkWait::Data) {
        result.FirstByteMs = MsBetween(sentAt, link.Now());
        Take(result, chunk);
        wait = Collect(link, result, link.Now() + milliseconds(ReplyJudgeDelayMs));
        if (wait == TLinkWait::Lost) NoteLost(link, result);
        return finish(TExchangeOutcome::LateReply);
    }
    if (wait == TLinkWait::Lost) NoteLost(link, result);
    return finish(TExchangeOutcome::NoReply);
}
