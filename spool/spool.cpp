// Print buffering: numbered job files written from the protocol threads and
// the dispatcher that replays queued jobs to the serial port, one per run,
// in order for each port.
#include "spool/spool.h"
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>
#include "base/settings.h"
#include "log/log.h"
#include "serial/serial.h"

enum : int { kSpoolPathSize = 512 };

// The first failed data write of a job is logged, not every byte after it.
static std::atomic<int32_t> writeErrorLogged{0};
// Data bytes of the open job gathered for one file write. Only the writer
// side (SpoolOpen, SpoolWriteByte, SpoolClose, serialised by the protocol)
// touches them, and the dispatcher never reads a job before its CLOSE has
// flushed it.
enum : int { kWriteBufferSize = 4096 };
static uint8_t writeBuffer[kWriteBufferSize];
static int writeBuffered = 0;
// A queued job not yet finished: its number, the port its header names, and
// how far its log lines have gone (a job that waits for its printer is
// reported once, not at every retry).
struct QueuedJob {
    int number;
    std::string port;
    bool started;           // "Start wydruku" logged
    bool waiting;           // its wait logged, for waitingFor
    std::string waitingFor;
    bool fileBusy = false;  // its wait for the job file logged
};
// The queued jobs taken in and not finished, oldest first, and the number of
// the next job to take in. Only the dispatcher touches them (one run at a
// time, ordered by dispatcherRunning) and start-up before any run. Never
// destroyed: a detached dispatcher may still run while the program ends.
static std::vector<QueuedJob>& queue = *new std::vector<QueuedJob>();
static int nextIntake = 0;

// Bounds on the spool: the data bytes of one job, the number of queued jobs
// and their data bytes in all. Set once at start-up; a receipt is kilobytes.
static int64_t maxJobBytes = 1 << 20;
static int32_t maxQueuedJobs = 100;
static int64_t maxQueuedBytes = 20 << 20;
static bool limitsRead = false;
// The queued jobs' data sizes by number: added by SpoolClose, removed by the
// dispatcher when it finishes a job. The totals are read by the writer at
// every byte, so they are kept apart as atomics.
static std::mutex& sizesLock = *new std::mutex();
static std::map<int, int64_t>& queuedSizes = *new std::map<int, int64_t>();
static std::atomic<int32_t> queuedJobs{0};
static std::atomic<int64_t> queuedBytes{0};
// Writer side only: the data bytes of the open job, and whether the refusal
// of a job by a full queue has been logged since a job was last taken.
static int64_t jobBytes = 0;
static bool fullLogged = false;
// Set at start-up when the spool folder may not be used: no job starts.
static std::atomic<int32_t> folderRefused{0};

static int64_t LimitFrom(const char* name, int64_t fallback) {
    const char* text = getenv(name);
    if (!text || !*text) return fallback;
    char* end = nullptr;
    long long value = strtoll(text, &end, 10);
    if (*end != 0 || value <= 0) return fallback;
    return value;
}

static void ReadLimits() {
    if (limitsRead) return;
    limitsRead = true;
    maxJobBytes = LimitFrom("KESTRUN_SPOOL_JOB_BYTES", maxJobBytes);
    maxQueuedJobs = (int32_t)std::min<int64_t>(LimitFrom("KESTRUN_SPOOL_JOBS", maxQueuedJobs), INT32_MAX);
    maxQueuedBytes = LimitFrom("KESTRUN_SPOOL_BYTES", maxQueuedBytes);
}

static void ForgetJobSize(int number) {
    std::lock_guard<std::mutex> guard(sizesLock);
    auto found = queuedSizes.find(number);
    if (found == queuedSizes.end()) return;
    queuedJobs--;
    queuedBytes -= found->second;
    queuedSizes.erase(found);
}

// A port name a client's COM could have produced: COMn, or \\.\COMn where
// the system names it so. Anything else (a device path written into a job's
// header) is never opened.
static bool PortNameFromCom(const char* name) {
    const char* p = name;
    if (strncmp(p, "\\\\.\\", 4) == 0) p += 4;
    if (strncmp(p, "COM", 3) != 0) return false;
    char* end = nullptr;
    errno = 0;
    long n = strtol(p + 3, &end, 10);
    if (errno || end == p + 3 || *end != 0 || n < INT32_MIN || n > INT32_MAX) return false;
    char plain[16], expected[kSpoolPortNameSize];
    snprintf(plain, sizeof plain, "COM%d", (int)n);
    SerialDeviceName(plain, expected, sizeof expected);
    return strcmp(expected, name) == 0;
}

int SpoolJobPath(char* out, size_t outSize, int number) {
    if (!out || outSize == 0) return ENAMETOOLONG;
    out[0] = 0;
    char dir[sizeof settingsRecord.spoolDirectory];
    SettingsText(dir, sizeof dir, settingsRecord.spoolDirectory);
    // Without a directory the job would land in the root of the file system;
    // an empty directory name names no directory, as it does to the system.
    if (!dir[0]) return ENOENT;
    int n = snprintf(out, outSize, "%s%c%04d.buf", dir, SpoolPathSeparator(), number);
    if (n < 0 || (size_t)n >= outSize) {
        out[0] = 0;
        return ENAMETOOLONG;
    }
    return 0;
}

// 0 when every byte was written, else an error number.
static int WriteAll(int fd, const uint8_t* data, int count) {
    while (count > 0) {
        errno = 0;
        int n = SpoolFileWrite(fd, data, count);
        if (n <= 0) return errno ? errno : EIO;
        data += n;
        count -= n;
    }
    return 0;
}

// Bytes read until count, end of file or a failure (-1).
static int ReadAll(int fd, uint8_t* data, int count) {
    int total = 0;
    while (total < count) {
        int n = SpoolFileRead(fd, data + total, count - total);
        if (n < 0) return -1;
        if (n == 0) break;
        total += n;
    }
    return total;
}

int SpoolOpen(const char portName[kSpoolPortNameSize], const CommandBlock& block) {
    // A COM before the CLOSE of the previous job (or a client gone without
    // CLOSE): that job is queued as CLOSE would queue it, under its own
    // number, and the new one starts after it.
    if (bridge.spoolFile >= 0) SpoolClose();

    int number = bridge.Statistics[kStatBuffered];
    writeBuffered = 0;
    jobBytes = 0;
    // A full queue takes no new job: its data is dropped, the queued jobs
    // stay. Logged once until a job is taken again.
    if (queuedJobs >= maxQueuedJobs || queuedBytes >= maxQueuedBytes) {
        bridge.spoolFile = -1;
        if (!fullLogged)
            LogFormat("Error - kolejka buforowania wydruku pelna (%d zadan, %lld bajtow), "
                      "odrzucono wydruk",
                      (int)queuedJobs, (long long)queuedBytes);
        fullLogged = true;
        return 0;
    }
    fullLogged = false;
    char path[kSpoolPathSize];
    int fd = -1;
    int error = folderRefused ? EACCES : SpoolJobPath(path, sizeof path, number);
    if (error == 0) {
        errno = 0;
        fd = SpoolFileOpen(path, 1);
        if (fd < 0) {
            error = errno ? errno : EIO;
            fd = -1;
        }
    }
    bridge.spoolFile = fd;
    writeErrorLogged = 0;
    writeBuffered = 0;

    if (fd >= 0) {
        uint8_t header[kSpoolHeaderSize];
        memcpy(header, portName, kSpoolPortNameSize);
        memcpy(header + kSpoolPortNameSize, &block, sizeof block);
        error = WriteAll(fd, header, kSpoolHeaderSize);
    }
    if (error)
        LogFormat("Start kolejki buforowania wydruku nr:%04d Error:%d", number, error);
    else
        LogFormat("Start kolejki buforowania wydruku nr:%04d OK", number);
    return 0;
}

// Writes the gathered data bytes to the open job; a failure is logged once
// per job and the bytes are dropped.
static void FlushWriteBuffer(int fd) {
    int count = writeBuffered;
    writeBuffered = 0;
    if (count == 0 || fd < 0) return;
    int error = WriteAll(fd, writeBuffer, count);
    if (error && !writeErrorLogged.exchange(1)) {
        LogFormat("Error - blad zapisu kolejki buforowania wydruku nr:%04d Error:%d",
                  (int)bridge.Statistics[kStatBuffered], error);
    }
}

// Ends the open job over a bound: its file goes whole, so nothing of it is
// ever printed, and the rest of its data is dropped until the next COM.
static void DiscardJob(int fd) {
    int number = bridge.Statistics[kStatBuffered];
    SpoolFileClose(fd);
    bridge.spoolFile = -1;
    writeBuffered = 0;
    char path[kSpoolPathSize];
    if (SpoolJobPath(path, sizeof path, number) == 0) SpoolFileRemove(path);
    if (jobBytes > maxJobBytes)
        LogFormat("Error - wydruk nr:%04d przekracza %lld bajtow, odrzucono", number,
                  (long long)maxJobBytes);
    else
        LogFormat("Error - kolejka buforowania wydruku przekracza %lld bajtow, odrzucono wydruk nr:%04d",
                  (long long)maxQueuedBytes, number);
}

int SpoolWriteByte(uint8_t byte) {
    int fd = bridge.spoolFile;
    if (fd < 0) return 0;
    jobBytes++;
    if (jobBytes > maxJobBytes || queuedBytes + jobBytes > maxQueuedBytes) {
        DiscardJob(fd);
        return 0;
    }
    writeBuffer[writeBuffered++] = byte;
    if (writeBuffered == kWriteBufferSize) FlushWriteBuffer(fd);
    return 0;
}

int SpoolClose() {
    int fd = bridge.spoolFile;
    if (fd < 0) return 0;
    FlushWriteBuffer(fd);
    SpoolFileClose(fd);
    bridge.spoolFile = -1;
    int number = bridge.Statistics[kStatBuffered];
    LogFormat("Koniec kolejki buforowania wydruku nr:%04d", number);
    {
        std::lock_guard<std::mutex> guard(sizesLock);
        queuedSizes[number] = jobBytes;
        queuedJobs++;
        queuedBytes += jobBytes;
    }
    bridge.Statistics[kStatBuffered] = number + 1;
    return 0;
}

enum CopyEnd { kCopyEnd, kCopyWriteFailed, kCopyReadFailed };

// Sends the print data in the blocks read from the file, each in one write;
// sent counts the bytes the port took.
static CopyEnd CopyJob(int fd, int& sent) {
    uint8_t block[4096];
    for (;;) {
        int n = SpoolFileRead(fd, block, (int)sizeof block);
        if (n == 0) return kCopyEnd;
        if (n < 0) return kCopyReadFailed;
        int written = SerialWriteBytes(block, n);
        sent += written;
        if (written < n) {
            LogText("Error - blad wyslania na port szeregowy");
            return kCopyWriteFailed;
        }
    }
}

// Adds the jobs queued since the last run; each job's port is read from its
// header when the job is first tried.
static void TakeInQueuedJobs() {
    int buffered = bridge.Statistics[kStatBuffered];
    for (; nextIntake < buffered; nextIntake++) queue.push_back({nextIntake, "", false, false, ""});
}

static bool Holds(const std::vector<std::string>& held, const std::string& port) {
    return std::find(held.begin(), held.end(), port) != held.end();
}

enum JobEnd { kJobFinished, kJobWaits, kJobHeld };

// One attempt at a job. kJobWaits: its port did not open, nothing was sent,
// and port names the port waited for. kJobHeld: an earlier job in this run
// already waits for the same port, so this one keeps its place behind it.
static JobEnd ReplayJob(QueuedJob& job, bool alwaysOpen, const std::vector<std::string>& held,
                        std::string& port) {
    int number = job.number;
    char path[kSpoolPathSize];
    int fd = -1;
    int openError = 0;
    if (SpoolJobPath(path, sizeof path, number) == 0) {
        errno = 0;
        fd = SpoolFileOpen(path, 0);
        if (fd < 0) openError = errno;
    }
    if (fd < 0 && openError == EBUSY) {
        // Another program holds the file for a moment (a scanner, the
        // indexer, a backup): the job keeps its place and is tried again at
        // the next run, as one whose port did not open.
        if (!job.fileBusy) LogFormat("Wydruk nr:%04d czeka - blad otwarcia pliku zadania", number);
        job.fileBusy = true;
        return kJobWaits;
    }
    job.fileBusy = false;
    uint8_t header[kSpoolHeaderSize];
    bool headerRead = fd >= 0 && ReadAll(fd, header, kSpoolHeaderSize) == kSpoolHeaderSize;
    // A header without a port name names no printer to wait for.
    if (headerRead && header[0] == 0) headerRead = false;
    char name[kSpoolPortNameSize];
    if (headerRead) {
        memcpy(name, header, kSpoolPortNameSize);
        name[kSpoolPortNameSize - 1] = 0;
        if (!PortNameFromCom(name)) {
            SpoolFileClose(fd);
            LogFormat("Koniec wydruku nr:%04d Error - niedozwolona nazwa portu w naglowku", number);
            return kJobFinished;
        }
        job.port = name;
        if (!alwaysOpen) port = name;
        if (Holds(held, port)) {
            SpoolFileClose(fd);
            return kJobHeld;
        }
    }
    if (!job.started) LogFormat("Start wydruku nr:%04d", number);
    job.started = true;

    JobEnd result = kJobFinished;
    int sent = 0;
    if (!headerRead) {
        // A missing, cut or nameless job cannot be printed: it counts as done.
        LogFormat("Koniec wydruku nr:%04d Error wyslano %d bajtow", number, 0);
    } else {
        CommandBlock stored;
        memcpy(&stored, header + kSpoolPortNameSize, sizeof stored);
        bool portReady;
        if (alwaysOpen)
            portReady = SerialIsOpen();
        else  // a retry opens quietly: the first attempt logged the failure
            portReady = SerialOpen(name, (uint32_t)stored.baud, stored.dataBits, stored.parity,
                                   stored.stopBits, stored.timeout1, stored.timeout2,
                                   stored.timeout3, job.waiting) == 0;
        if (!portReady && !alwaysOpen &&
            !PortParametersValid((uint32_t)stored.baud, stored.dataBits, stored.parity, stored.stopBits)) {
            // Line settings no port takes (a client's bad DATA=, PARITY= or
            // STOP=) never open: waiting would hold every later receipt.
            LogFormat("Koniec wydruku nr:%04d Error wyslano %d bajtow", number, 0);
        } else if (!portReady) {
            // Nothing was sent: the receipt waits in the queue for its
            // printer and is tried again at the next run, ahead of the later
            // jobs for the same port.
            if (!job.waiting || job.waitingFor != port) {
                char shown[kSpoolPortNameSize * 5];
                EscapeText(port.c_str(), shown, sizeof shown);
                LogFormat("Wydruk nr:%04d czeka - blad otwarcia portu %s", number, shown);
            }
            job.waiting = true;
            job.waitingFor = port;
            result = kJobWaits;
        } else {
            if (job.waiting) {
                char shown[kSpoolPortNameSize * 5];
                EscapeText(port.c_str(), shown, sizeof shown);
                LogFormat("Wydruk nr:%04d - koniec oczekiwania na port %s", number, shown);
            }
            CopyEnd end = CopyJob(fd, sent);
            if (end == kCopyReadFailed) {
                SerialOff();
                LogFormat("Koniec wydruku nr:%04d Error wyslano %d bajtow", number, sent);
            } else {
                if (!alwaysOpen) SerialOff();
                ReleaseAlwaysOpenPort();
                // A copy cut short by the port is a failure, not a success;
                // it is not sent again, so no receipt is printed twice.
                if (end == kCopyWriteFailed)
                    LogFormat("Koniec wydruku nr:%04d Error wyslano %d bajtow", number, sent);
                else
                    LogFormat("Koniec wydruku nr:%04d OK wyslano %d bajtow", number, sent);
            }
        }
    }
    if (fd >= 0) SpoolFileClose(fd);
    return result;
}

void PrintDispatcher() {
    int32_t idle = 0;
    if (!bridge.dispatcherRunning.compare_exchange_strong(idle, 1)) return;
    // Only queued jobs are taken in; the job still being written is not one.
    TakeInQueuedJobs();
    // With the always-open port in use every job waits for that one port.
    bool alwaysOpen = settingsRecord.alwaysOpen != 0;
    std::string alwaysOpenPort;
    if (alwaysOpen) {
        char name[sizeof settingsRecord.portName];
        SettingsText(name, sizeof name, settingsRecord.portName);
        alwaysOpenPort = name;
    }
    // The ports found closed in this run: each is tried once, and the later
    // jobs for it keep their order behind the one that waits, while jobs for
    // other ports go ahead. One job is finished per run.
    std::vector<std::string> held;
    for (size_t i = 0; i < queue.size(); i++) {
        QueuedJob& job = queue[i];
        std::string port = alwaysOpen ? alwaysOpenPort : job.port;
        if (Holds(held, port)) continue;
        JobEnd end = ReplayJob(job, alwaysOpen, held, port);
        if (end == kJobWaits) held.push_back(port);
        if (end != kJobFinished) continue;
        ForgetJobSize(job.number);
        queue.erase(queue.begin() + (long)i);
        if (bridge.Statistics[kStatPrinted] < bridge.Statistics[kStatBuffered])
            bridge.Statistics[kStatPrinted]++;
        break;
    }
    bridge.dispatcherRunning = 0;
}

int StartPrintDispatcher() {
    // std::thread reports a failed start only by throwing; it is turned
    // into the plain result here and nowhere else.
    try {
        std::thread(PrintDispatcher).detach();
    } catch (...) {
        LogText("Error - nie uruchomiono watku PrintDispatcher");
        return 1;
    }
    return 0;
}

void SpoolPrepareDirectory() {
    // Job numbers start again at 0; the deleted jobs are forgotten.
    queue.clear();
    nextIntake = 0;
    {
        std::lock_guard<std::mutex> guard(sizesLock);
        queuedSizes.clear();
        queuedJobs = 0;
        queuedBytes = 0;
    }
    ReadLimits();
    folderRefused = 0;
    char dir[sizeof settingsRecord.spoolDirectory];
    SettingsText(dir, sizeof dir, settingsRecord.spoolDirectory);
    if (!dir[0]) return;
    // A folder that others may write to or that is not ours could hold
    // planted files: it is left alone and no job is buffered.
    int error = SpoolMakeDirectory(dir);
    if (error) {
        folderRefused = 1;
        LogFormat("Error - folder buforowania wydruku %s odrzucony (nie nalezy do programu "
                  "lub moga w nim pisac inni), wydruki nie beda buforowane Error:%d",
                  dir, error);
        return;
    }
    SpoolRemoveJobFiles(dir);
}
