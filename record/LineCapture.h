// SPDX-License-Identifier: MIT
#pragma once
// A capture of the serial line in a pcapng file (link type USER0), for
// Wireshark with the m2bus dissector and for kelvra-phone-sim --replay.

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "link/FrameJoiner.h"
#include "record/AppendFile.h"
#include "serial/SerialComm.h"

namespace kelvra {

// The first byte of every record: what it holds.
enum class LineRecord : std::uint8_t {
    Written = 0,    // bytes written to the phone
    Read = 1,       // bytes read from the line, the echo included
    LineEvent = 2,  // the event code (16 bits, little-endian), then its text
    // The device, a zero byte, the line settings ("9600 8O1"), a zero byte and
    // FramedMark: each frame is whole in a record of its own.
    Opened = 3,
    Closed = 4,
    OpenFailed = 5,  // the device, a zero byte, why it could not be opened
    // First in a section that continues a run after another run wrote to the
    // file: the device, a zero byte, the Com port ("Com2") the records go on from.
    Continued = 6,
};

// Every byte written to and read from the port, one record per frame (bytes
// around frames in records of their own) with the time the bytes passed, in
// microseconds: a frame read in pieces is joined first and carries the time
// of its first byte. Line events; the port opening, failing to open and
// closing. Each run appends
// a section of its own (its first port names the interface: the device and
// the Com port), and each record is written whole as it happens: a crash
// loses at most the record being written. Runs sharing one file each keep
// their records in their own sections: when another run has appended since
// this one's last block, this one continues in a new section whose comment
// says it continues the run ("run of process <pid> from <time>, continued").
class LineCapture : public LineObserver {
public:
    // Tells readers that each frame is whole in a record of its own (a frame cut
    // short in one of its own too), unlike older captures of one record per read.
    static constexpr const char* FramedMark = "one record per frame";

    // Opens `path` for appending and starts a section. An existing file must
    // be a pcapng capture: its last block, if cut short (a full disk, a power
    // cut), is taken off, since it could never be read, and the reporter
    // hears so. Throws std::runtime_error("<path>: <reason>") when it cannot
    // be opened or is not a capture (then it is left as it is).
    // `clock` gives the time in microseconds since the epoch; the system's by
    // default. With `waitForReader`, a FIFO is waited for until something reads it.
    explicit LineCapture(std::string path, std::function<std::uint64_t()> clock = {}, bool waitForReader = false);
    ~LineCapture() override;

    void Opened(const std::string& device, int port, const std::string& settings) override;
    void OpenFailed(const std::string& device, int port, const std::string& reason) override;
    void Closed() override;
    void Written(const Bytes& bytes) override;
    void Read(const Bytes& bytes) override;
    void LineQuiet() override { FlushRead(); }
    void LineEvent(std::int16_t code, const std::string& text) override;

    // Hears "the capture file <path> cannot be written: <reason>" the first
    // time a record cannot be written, and anything else worth knowing once.
    void OnReport(std::function<void(const std::string&)> report) { file_.OnReport(std::move(report)); }
    void SetInterrupted(std::function<bool()> interrupted) { file_.SetInterrupted(std::move(interrupted)); }
    // The line is listened to, not driven: the interfaces say so.
    void SetListening() { listening_ = true; }
    bool Incomplete() const { return file_.Incomplete(); }
    // Written into a FIFO that nothing reads any more (its reader died).
    bool ReaderGone() const { return file_.ReaderGone(); }

private:
    // Makes `device` on Com`port` the interface of the records that follow.
    void UseInterface(const std::string& device, int port);
    void Record(LineRecord kind, const Bytes& bytes, std::uint64_t time);
    void Append(const ByteString& block);
    // A frame still being read is recorded as it stands.
    void FlushRead();
    // Read pieces in order, each after the written records that came before its first byte.
    void RecordRead(const std::vector<FrameJoiner::Piece>& pieces);
    void RecordWrittenUntil(std::uint64_t time);

    AppendFile file_;
    std::function<std::uint64_t()> clock_;
    FrameJoiner read_;
    // Written records that came while a frame was being read: recorded after it,
    // so that the file keeps the order in which the frames began.
    struct Pending {
        Bytes bytes;
        std::uint64_t time;
    };
    std::vector<Pending> written_;
    // The interface of each device and port met in this section.
    std::map<std::string, std::uint32_t> interfaces_;
    // Their blocks in the order of their numbers, for a section that continues this run's.
    std::vector<std::string> interfaceBlocks_;
    // Names this run in its sections' comments: "run of process <pid> from <time>".
    std::string run_;
    // The device and Com port of the records in hand.
    Bytes current_;
    std::uint32_t interface_ = 0;
    bool listening_ = false;
};

}  // namespace kelvra
