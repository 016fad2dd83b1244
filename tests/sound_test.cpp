// SPDX-License-Identifier: MIT
// tavadd through ALSA, with ALSA configurations of the test's own.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <link.h>
#include <signal.h>
#include <sndfile.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "process.h"
#include "qelmar.h"
#include "qelmar/host.h"
#include "sound/sound_libraries_posix.h"
#include "virtual_port.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

bool in_process(const char* soname) {
  void* library = ::dlopen(soname, RTLD_NOW | RTLD_NOLOAD);
  if (library != nullptr) ::dlclose(library);
  return library != nullptr;
}

// Before any test: what linking to the library alone brought in. (This test
// links libsndfile itself, to write its files; nothing here links ALSA.)
const bool alsa_loaded_at_start = in_process("libasound.so.2");

// This program run again as a host whose first sound finds its address space
// full (QELMAR_TEST_FIRST_SOUND set to the file), and whose second has room.
const bool first_sound_without_memory = [] {
  const char* wav = std::getenv("QELMAR_TEST_FIRST_SOUND");
  if (wav == nullptr) return false;
  unsigned long pages = 0;
  std::ifstream("/proc/self/statm") >> pages;
  rlimit room{};
  ::getrlimit(RLIMIT_AS, &room);
  // Enough for the call's stack and a little heap, not for mapping a library.
  const rlimit full{pages * static_cast<unsigned long>(::sysconf(_SC_PAGESIZE)) + 256 * 1024,
                    room.rlim_max};
  if (::setrlimit(RLIMIT_AS, &full) != 0) ::_exit(2);
  tavadd(0, wav);
  ::setrlimit(RLIMIT_AS, &room);
  tavadd(0, wav);
  ::_exit(0);
}();

// This program run again as a host that plays a sound where ALSA complains
// (QELMAR_TEST_ALSA_HOST set): "plain", or "handler", having set an ALSA error
// handler of its own first. It says on stdout what its handler saw.
int host_handler_calls = 0;
void host_handler(const char*, int, const char*, int, const char*, ...) { ++host_handler_calls; }

const bool alsa_host = [] {
  const char* mode = std::getenv("QELMAR_TEST_ALSA_HOST");
  if (mode == nullptr) return false;
  void* alsa = ::dlopen("libasound.so.2", RTLD_NOW | RTLD_GLOBAL);
  if (alsa == nullptr) ::_exit(77);
  const auto set_handler = reinterpret_cast<decltype(&snd_lib_error_set_handler)>(
      ::dlsym(alsa, "snd_lib_error_set_handler"));
  const auto* handler = static_cast<snd_lib_error_handler_t*>(::dlsym(alsa, "snd_lib_error"));
  const auto open = reinterpret_cast<decltype(&snd_pcm_open)>(::dlsym(alsa, "snd_pcm_open"));
  if (set_handler == nullptr || handler == nullptr || open == nullptr) ::_exit(3);
  const bool own = std::strcmp(mode, "handler") == 0;
  if (own) set_handler(host_handler);
  tavadd(0, "/nonexistent/qelmar.wav");
  std::printf("the library's sound: %d\n", host_handler_calls);
  if (own) {
    std::printf("still set: %s\n", *handler == host_handler ? "yes" : "no");
    const int before = host_handler_calls;
    snd_pcm_t* pcm = nullptr;
    open(&pcm, "qelmar_host_bogus", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
    std::printf("the host's own: %d\n", host_handler_calls - before);
  }
  std::fflush(stdout);
  ::_exit(0);
}();

std::size_t threads() {
  return static_cast<std::size_t>(std::distance(fs::directory_iterator("/proc/self/task"), {}));
}

// Waits for players that outlived their calls to end.
bool threads_back_to(std::size_t count) {
  for (int i = 0; i < 500 && threads() > count; ++i) std::this_thread::sleep_for(10ms);
  return threads() <= count;
}

std::vector<std::string> lines_of(const fs::path& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class SoundTest : public ::testing::Test {
 protected:
  // Each test starts with no player of an earlier one still ending: a player
  // outlives its call by a moment, and the tests count the process's threads.
  void SetUp() override {
    static const std::size_t at_start = threads();
    ASSERT_TRUE(threads_back_to(at_start)) << "a player of an earlier test is still running";
  }
  void TearDown() override { ::unsetenv("ALSA_CONFIG_PATH"); }

  // The default PCM of every ALSA client in this process from now on. A file
  // of its own each time: ALSA rereads a file whose time it has seen only
  // when the second changes.
  void use_alsa_config(const std::string& pcm) {
    const fs::path conf = dir / ("asound" + std::to_string(++configs) + ".conf");
    std::ofstream(conf) << "pcm.!default " << pcm << "\n";
    ::setenv("ALSA_CONFIG_PATH", conf.c_str(), 1);
  }

  // Captures everything played into a raw file, as fast as it is written.
  fs::path capture() {
    const fs::path raw = dir / "played.raw";
    use_alsa_config("{ type file slave { pcm { type null } } file \"" + raw.string() +
                    "\" format \"raw\" }");
    return raw;
  }

  std::vector<std::int16_t> write_wav(const fs::path& path, int channels, int rate,
                                      double seconds) {
    std::vector<std::int16_t> samples(static_cast<std::size_t>(seconds * rate) *
                                      static_cast<std::size_t>(channels));
    for (std::size_t i = 0; i < samples.size(); ++i) {
      // Each channel its own tone, so interleaving mistakes show.
      const double t = static_cast<double>(i / static_cast<std::size_t>(channels)) / rate;
      const double f = 440.0 * static_cast<double>(1 + i % static_cast<std::size_t>(channels));
      samples[i] = static_cast<std::int16_t>(10000 * std::sin(2 * M_PI * f * t));
    }
    SF_INFO info{};
    info.channels = channels;
    info.samplerate = rate;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    EXPECT_NE(file, nullptr);
    sf_write_short(file, samples.data(), static_cast<sf_count_t>(samples.size()));
    sf_close(file);
    return samples;
  }

  // A PulseAudio server with a null sink (no sound card) as the default PCM;
  // ended when the pointer goes.
  std::unique_ptr<qelmar::test::Process> start_sound_server() {
    const fs::path socket = dir / "native";
    auto server = std::make_unique<qelmar::test::Process>(
        std::vector<std::string>{
            "pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
            "--log-level=error", "-L", "module-null-sink", "-L",
            "module-native-protocol-unix auth-anonymous=1 socket=" + socket.string()},
        qelmar::test::Process::Options{{"HOME=" + dir.string(), "XDG_RUNTIME_DIR=" + dir.string()},
                                       ""});
    for (int i = 0; i < 100 && !fs::exists(socket); ++i) std::this_thread::sleep_for(50ms);
    if (!fs::exists(socket)) return nullptr;
    use_alsa_config("{ type pulse server \"unix:" + socket.string() + "\" }");
    return server;
  }

  static std::vector<std::int16_t> read_raw(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> bytes{std::istreambuf_iterator<char>(in), {}};
    std::vector<std::int16_t> samples(bytes.size() / 2);
    std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
    return samples;
  }

  qelmar::test::TempDir temp;
  fs::path dir = temp.path();
  int configs = 0;
};

TEST_F(SoundTest, PlaysTheFilesSamples) {
  const struct { int channels, rate; } formats[] = {{1, 22050}, {2, 44100}};
  for (const auto& format : formats) {
    const fs::path raw = capture();
    const fs::path wav = dir / "tone.wav";
    const auto samples = write_wav(wav, format.channels, format.rate, 0.25);
    EXPECT_EQ(tavadd(12345, wav.c_str()), 0);
    EXPECT_EQ(read_raw(raw), samples) << format.channels << " channels";
    fs::remove(raw);
  }
}

TEST_F(SoundTest, FileThatCannotBePlayedGivesTheDefaultAlert) {
  std::ofstream(dir / "text.wav") << "not a sound";
  ASSERT_EQ(::mkfifo((dir / "fifo.wav").c_str(), 0600), 0);  // no writer: opening would block
  for (const fs::path& bad :
       {dir / "missing.wav", dir / "text.wav", dir, dir / "fifo.wav", fs::path("/dev/zero")}) {
    const fs::path raw = capture();
    EXPECT_EQ(tavadd(0, bad.c_str()), 0);
    const auto played = read_raw(raw);
    EXPECT_GE(played.size(), 44100u / 5) << bad;
    int loud = 0;
    for (std::int16_t s : played) loud += std::abs(s) > 5000;
    EXPECT_GT(loud, 1000) << bad;
    fs::remove(raw);
  }
}

TEST_F(SoundTest, NullPathPlaysNothing) {
  const fs::path raw = capture();
  EXPECT_EQ(tavadd(0, nullptr), 0);
  EXPECT_FALSE(fs::exists(raw));
}

TEST_F(SoundTest, NoSoundDeviceReturnsPromptly) {
  use_alsa_config("{ type hw card 31 }");
  const fs::path wav = dir / "tone.wav";
  write_wav(wav, 1, 8000, 2.0);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(tavadd(0, wav.c_str()), 0);
  EXPECT_EQ(tavadd(0, (dir / "missing.wav").c_str()), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);  // a 2 s file was not waited for
}

// qelmar_play, as an ordinary user: a file closed to its owner alone is still
// open to root, so root's call is made by a child that is nobody.
qelmar_status play_as_ordinary_user(const char* path) {
  qelmar_status status;
  QELMAR_STATUS_INIT(status);
  if (::getuid() != 0) {
    qelmar_play(path, &status);
    return status;
  }
  int back[2];
  if (::pipe(back) != 0) return status;
  const pid_t child = ::fork();
  if (child == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
    qelmar_play(path, &status);
    ::_exit(::write(back[1], &status, sizeof status) == sizeof status ? 0 : 1);
  }
  ::close(back[1]);
  if (::read(back[0], &status, sizeof status) != sizeof status) QELMAR_STATUS_INIT(status);
  ::close(back[0]);
  ::waitpid(child, nullptr, 0);
  return status;
}

// The status names the file's fault whatever the sound device does: with a
// device the alert plays in the file's place, without one nothing plays but
// the fault to mend is still the file's. A device that stops taking the sound
// is QELMAR_STUCK. tavadd returns 0 throughout.
TEST_F(SoundTest, StatusTellsTheFilesFaultWhateverTheDevice) {
  const fs::path tone = dir / "tone.wav";
  write_wav(tone, 1, 44100, 0.1);  // 8.8 kB, more than the FIFO below takes
  const fs::path folder = dir / "folder.wav";
  fs::create_directory(folder);
  std::ofstream(dir / "text.wav") << "not a sound";
  const fs::path locked = dir / "locked.wav";
  fs::copy_file(tone, locked);
  fs::permissions(locked, fs::perms::owner_read | fs::perms::owner_write);
  // The ordinary user reads the ALSA configuration in here.
  fs::permissions(dir, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec |
                           fs::perms::group_read | fs::perms::others_read);
  const fs::path fifo = dir / "device.fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);  // kept open
  ASSERT_GE(reader, 0);
  ::fcntl(reader, F_SETPIPE_SZ, 4096);
  std::atomic<bool> draining = false;
  const std::jthread drain([reader, &draining](const std::stop_token& stop) {
    char chunk[4096];
    while (!stop.stop_requested()) {
      if (!draining || ::read(reader, chunk, sizeof chunk) <= 0) std::this_thread::sleep_for(1ms);
    }
  });

  enum Device { plays, none, stalled };
  const struct {
    fs::path file;
    Device device;
    qelmar_outcome outcome;
    std::string reason;
  } rows[] = {
      {tone, plays, QELMAR_DELIVERED, ""},
      {tone, none, QELMAR_NOT_PLAYED, "no sound device"},
      {tone, stalled, QELMAR_STUCK, "given up at the deadline"},
      {dir / "missing.wav", plays, QELMAR_ALERT_INSTEAD, "no such file"},
      {dir / "missing.wav", none, QELMAR_BAD_FILE,
       "no such file; no alert instead: no sound device"},
      {dir / "missing.wav", stalled, QELMAR_BAD_FILE,
       "no such file; no alert instead: given up at the deadline"},
      {folder, none, QELMAR_BAD_FILE, "not a regular file; no alert instead: no sound device"},
      {dir / "text.wav", none, QELMAR_BAD_FILE,
       "the file cannot be decoded; no alert instead: no sound device"},
      {locked, plays, QELMAR_ALERT_INSTEAD, "the file may not be read (permission denied)"},
      {locked, none, QELMAR_BAD_FILE,
       "the file may not be read (permission denied); no alert instead: no sound device"},
  };
  const std::size_t before = threads();
  for (const auto& row : rows) {
    const std::string name =
        row.file.filename().string() + (row.device == plays  ? " to a device"
                                        : row.device == none ? " without a device"
                                                             : " to a stalled device");
    // The row before played in this process too: a child forked while that
    // player runs may inherit a lock it holds, and its own player then waits
    // to the deadline.
    ASSERT_TRUE(threads_back_to(before)) << name << ": the player before is still running";
    use_alsa_config(row.device == plays  ? "{ type null }"
                    : row.device == none ? "{ type hw card 31 }"
                                         : "{ type file slave { pcm { type null } } file \"" +
                                               fifo.string() + "\" format \"raw\" }");
    const qelmar_status status =
        row.file == locked ? play_as_ordinary_user(row.file.c_str()) : [&] {
          qelmar_status played;
          QELMAR_STATUS_INIT(played);
          qelmar_play(row.file.c_str(), &played);
          return played;
        }();
    EXPECT_EQ(qelmar_outcome_name(status.outcome), std::string(qelmar_outcome_name(row.outcome)))
        << name;
    EXPECT_STREQ(status.reason, row.reason.c_str()) << name;
    if (row.device == stalled) {
      // The player the device holds ends once it is read again.
      draining = true;
      EXPECT_TRUE(threads_back_to(before)) << name;
      draining = false;
    } else {
      EXPECT_EQ(tavadd(7, row.file.c_str()), 0) << name;
    }
  }
  // The log does not say the alert played when nothing did.
  use_alsa_config("{ type hw card 31 }");
  ::setenv("QELMAR_LOG", (dir / "sound.log").c_str(), 1);
  tavadd(0, (dir / "missing.wav").c_str());
  ::unsetenv("QELMAR_LOG");
  const auto lines = lines_of(dir / "sound.log");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("missing.wav, cannot be played (no such file), to ALSA default"),
            std::string::npos)
      << lines[0];
}

// A sound server with a null sink plays in real time, so the call must last as
// long as the sound; one that stops taking samples holds it only a little longer.
TEST_F(SoundTest, LastsAsLongAsTheSoundAndNotMuchLonger) {
  // Stopped when it goes out of scope, whatever the assertions say.
  const auto server = start_sound_server();
  ASSERT_NE(server, nullptr) << "pulseaudio did not start";

  const fs::path wav = dir / "half.wav";
  write_wav(wav, 1, 44100, 0.5);
  const struct {
    const char* sink;
    std::optional<std::chrono::milliseconds> stops_after;
  } cases[] = {{"plays", std::nullopt}, {"stops midway", 150ms}, {"stopped already", 0ms}};
  const std::size_t before = threads();
  for (const auto& c : cases) {
    if (c.stops_after == 0ms) ::kill(server->pid(), SIGSTOP);
    std::thread stopper([&] {
      if (!c.stops_after || *c.stops_after == 0ms) return;
      std::this_thread::sleep_for(*c.stops_after);
      ::kill(server->pid(), SIGSTOP);
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(tavadd(0, wav.c_str()), 0);
    const auto took = std::chrono::steady_clock::now() - start;
    stopper.join();
    ::kill(server->pid(), SIGCONT);
    if (!c.stops_after) {
      EXPECT_GE(took, 500ms);
    }
    EXPECT_LT(took, 500ms + 2500ms) << c.sink;
    // The player the server held ends once it answers, and the next case
    // finds the device free.
    EXPECT_TRUE(threads_back_to(before)) << c.sink;
  }
}

// A device that stops taking samples holds the player past its call. Later
// calls start no player of their own, which it would hold as well: they return
// at once, saying why, until the device lets go and sound plays again.
TEST_F(SoundTest, StuckDeviceHoldsOnePlayerNotOnePerCall) {
  const fs::path wav = dir / "short.wav";
  write_wav(wav, 1, 44100, 0.1);  // 8.8 kB, more than the FIFO below takes
  const fs::path fifo = dir / "device.fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // Never closed: a player still writing must not find its reader gone.
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  ::fcntl(reader, F_SETPIPE_SZ, 4096);
  std::atomic<bool> draining = false;
  std::jthread drain;
  std::unique_ptr<qelmar::test::Process> server;
  // Declared after the server, so ended before it: a stopped server would not end.
  const std::unique_ptr<void, std::function<void(void*)>> resume_server(&server, [&](void*) {
    if (server != nullptr) ::kill(server->pid(), SIGCONT);
  });

  const struct {
    const char* device;
    std::function<bool()> stop;
    std::function<void()> resume;
  } cases[] = {
      {"a FIFO that is not read",
       [&] {
         use_alsa_config("{ type file slave { pcm { type null } } file \"" + fifo.string() +
                         "\" format \"raw\" }");
         // Started now, so that the count of threads before the calls has it.
         drain = std::jthread([reader, &draining](std::stop_token stop) {
           char chunk[4096];
           while (!stop.stop_requested()) {
             if (!draining || ::read(reader, chunk, sizeof chunk) <= 0) {
               std::this_thread::sleep_for(1ms);
             }
           }
         });
         return true;
       },
       [&] { draining = true; }},
      {"a sound server that stopped",
       [&] {
         server = start_sound_server();
         return server != nullptr && ::kill(server->pid(), SIGSTOP) == 0;
       },
       [&] { ::kill(server->pid(), SIGCONT); }},
  };
  const fs::path log = dir / "sound.log";
  constexpr int calls = 32;
  for (const auto& c : cases) {
    ASSERT_TRUE(c.stop()) << c.device;
    fs::remove(log);
    ::setenv("QELMAR_LOG", log.c_str(), 1);
    const std::size_t before = threads();
    for (int i = 0; i < calls; ++i) {
      const auto start = std::chrono::steady_clock::now();
      EXPECT_EQ(tavadd(0, wav.c_str()), 0);
      const auto took = std::chrono::steady_clock::now() - start;
      if (i == 0) {
        EXPECT_LT(took, 100ms + 2500ms) << c.device;
        ASSERT_GT(threads(), before) << c.device << ": the player was not held";
      } else {
        ASSERT_LT(took, 100ms) << c.device << ": call " << i + 1;
      }
    }
    const std::size_t held = threads() - before;
    c.resume();
    EXPECT_TRUE(threads_back_to(before)) << c.device << ": the held player did not end";
    tavadd(0, wav.c_str());  // plays again
    ::unsetenv("QELMAR_LOG");

    // One player and what it started itself (the pulse plugin's thread), not one per call.
    EXPECT_LE(held, 2u) << c.device;
    const auto lines = lines_of(log);
    ASSERT_EQ(lines.size(), calls + 1u) << c.device;
    EXPECT_TRUE(lines.front().ends_with(": given up at the deadline")) << lines.front();
    for (int i = 1; i < calls; ++i) {
      EXPECT_TRUE(
          lines[i].ends_with(": nothing played: the sound device still holds an earlier sound"))
          << lines[i];
    }
    EXPECT_TRUE(lines.back().ends_with(": played")) << c.device << ": " << lines.back();
  }
}

// Sounds that start together on a working device play one after the other,
// each whole: the later one waits for the earlier, within its own bound. (The
// device is a small FIFO read a little at a time, so that sounds written at
// once would arrive mixed up.)
TEST_F(SoundTest, SoundsStartedTogetherPlayOneAfterTheOther) {
  const fs::path fifo = dir / "device.fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  ::fcntl(reader, F_SETPIPE_SZ, 4096);
  std::vector<char> bytes;
  const auto read_some = [&] {
    char chunk[1024];
    const ssize_t n = ::read(reader, chunk, sizeof chunk);
    if (n > 0) bytes.insert(bytes.end(), chunk, chunk + n);
    return n > 0;
  };
  std::jthread drain([&](const std::stop_token& stop) {
    while (!stop.stop_requested()) {
      read_some();
      std::this_thread::sleep_for(1ms);
    }
  });
  use_alsa_config("{ type file slave { pcm { type null } } file \"" + fifo.string() +
                  "\" format \"raw\" }");
  const auto low = write_wav(dir / "low.wav", 1, 8000, 1.0);
  const auto high = write_wav(dir / "high.wav", 1, 22050, 1.0);
  std::atomic<bool> go = false;
  std::vector<std::thread> callers;
  for (const fs::path& wav : {dir / "low.wav", dir / "high.wav"}) {
    callers.emplace_back([&go, wav] {
      while (!go) std::this_thread::yield();
      tavadd(0, wav.c_str());
    });
  }
  go = true;
  for (auto& caller : callers) caller.join();
  drain.request_stop();
  drain.join();
  while (read_some()) {
  }
  ::close(reader);

  std::vector<std::int16_t> played(bytes.size() / 2);
  std::memcpy(played.data(), bytes.data(), played.size() * 2);
  std::vector<std::int16_t> low_first = low, high_first = high;
  low_first.insert(low_first.end(), high.begin(), high.end());
  high_first.insert(high_first.end(), low.begin(), low.end());
  EXPECT_TRUE(played == low_first || played == high_first)
      << played.size() << " samples, " << low.size() + high.size() << " expected";
}

// Sounds that start together on a device that stops taking samples leave one
// player held, not one each: a process plays one sound at a time, the others
// wait for it within their own bound, and calls after that return at once.
TEST_F(SoundTest, SoundsStartedTogetherOnAStuckDeviceHoldOnePlayer) {
  const fs::path wav = dir / "short.wav";
  write_wav(wav, 1, 44100, 0.1);  // 8.8 kB, more than the FIFO below takes
  const fs::path fifo = dir / "device.fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);  // kept open
  ASSERT_GE(reader, 0);
  ::fcntl(reader, F_SETPIPE_SZ, 4096);
  std::atomic<bool> draining = false;
  const std::jthread drain([reader, &draining](const std::stop_token& stop) {
    char chunk[4096];
    while (!stop.stop_requested()) {
      if (!draining || ::read(reader, chunk, sizeof chunk) <= 0) std::this_thread::sleep_for(1ms);
    }
  });
  use_alsa_config("{ type file slave { pcm { type null } } file \"" + fifo.string() +
                  "\" format \"raw\" }");
  const fs::path log = dir / "sound.log";
  constexpr int later_calls = 3;
  // One player at a time: at the limit and past it.
  for (const int together : {1, 2, 8}) {
    fs::remove(log);
    ::setenv("QELMAR_LOG", log.c_str(), 1);
    const std::size_t before = threads();
    std::atomic<int> ready = 0;
    std::atomic<bool> go = false;
    std::vector<std::chrono::steady_clock::duration> took(static_cast<std::size_t>(together));
    std::vector<std::thread> callers;
    for (int i = 0; i < together; ++i) {
      callers.emplace_back([&, i] {
        ++ready;
        while (!go) std::this_thread::yield();
        const auto start = std::chrono::steady_clock::now();
        tavadd(0, wav.c_str());
        took[static_cast<std::size_t>(i)] = std::chrono::steady_clock::now() - start;
      });
    }
    while (ready < together) std::this_thread::yield();
    go = true;
    for (auto& caller : callers) caller.join();
    const std::size_t held = threads() - before;
    for (int i = 0; i < later_calls; ++i) {
      const auto start = std::chrono::steady_clock::now();
      tavadd(0, wav.c_str());
      EXPECT_LT(std::chrono::steady_clock::now() - start, 100ms)
          << together << " at once: later call " << i + 1;
    }
    draining = true;
    EXPECT_TRUE(threads_back_to(before)) << together << " at once: the held player did not end";
    draining = false;
    ::unsetenv("QELMAR_LOG");

    EXPECT_EQ(held, 1u) << together << " at once";
    for (const auto& call : took) EXPECT_LT(call, 100ms + 2500ms) << together << " at once";
    const auto lines = lines_of(log);
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(together + later_calls)) << together;
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& line) {
                              return line.ends_with(": given up at the deadline");
                            }),
              1)
        << together << " at once";
  }
}

// A process whose first sound runs out of memory plays the next one, and the
// log does not call the library missing.
TEST_F(SoundTest, FirstSoundOutOfMemoryIsTriedAgainByTheNext) {
  ASSERT_FALSE(first_sound_without_memory);
  if (::dlsym(RTLD_DEFAULT, "__asan_init") != nullptr) {
    GTEST_SKIP() << "SKIPPED: AddressSanitizer cannot run under an address space limit";
  }
  const fs::path raw = capture();
  const fs::path wav = dir / "tone.wav";
  const auto samples = write_wav(wav, 1, 8000, 0.1);
  const fs::path log = dir / "sound.log";
  const auto host = qelmar::test::run_process(
      {"/proc/self/exe"},
      {{"QELMAR_TEST_FIRST_SOUND=" + wav.string(), "QELMAR_LOG=" + log.string()}, ""});
  ASSERT_EQ(host.status, 0) << host.err;
  const auto lines = lines_of(log);
  ASSERT_EQ(lines.size(), 2u) << host.err;
  EXPECT_NE(lines[0].find(": libasound.so.2 cannot be loaded: "), std::string::npos) << lines[0];
  EXPECT_TRUE(lines[1].ends_with(": played")) << lines[1];
  EXPECT_EQ(read_raw(raw), samples);
}

TEST_F(SoundTest, AlsaIsLoadedByTheFirstSoundNotByLinking) {
  EXPECT_FALSE(alsa_loaded_at_start);
  const fs::path raw = capture();
  const fs::path wav = dir / "tone.wav";
  const auto samples = write_wav(wav, 1, 8000, 0.1);
  EXPECT_EQ(tavadd(0, wav.c_str()), 0);
  EXPECT_EQ(read_raw(raw), samples);
  EXPECT_TRUE(in_process("libasound.so.2"));
}

// ALSA's complaints about the library's own sounds reach the log, never the
// host's stderr; a host's own ALSA handler stays set, and gets what it asked for.
TEST_F(SoundTest, AlsaSpeaksOnlyToTheLogOrTheHostsOwnHandler) {
  ASSERT_FALSE(alsa_host);
  use_alsa_config("{ type plug slave.pcm \"qelmar_bogus\" }");
  const fs::path log = dir / "sound.log";
  const struct {
    std::string mode;
    bool logged;
    std::vector<std::string> out;
    std::string log_has;  // in the log line, when logged
  } cases[] = {
      {"plain", false, {"the library's sound: 0"}, ""},
      {"plain", true, {"the library's sound: 0"}, " (ALSA: Unknown PCM qelmar_bogus): "},
      // ALSA asks a thread's own handler only while no process-wide one is set.
      {"handler",
       true,
       {"the library's sound: 1", "still set: yes", "the host's own: 1"},
       ", to ALSA default: "},
  };
  for (const auto& c : cases) {
    fs::remove(log);
    std::vector<std::string> env = {"QELMAR_TEST_ALSA_HOST=" + c.mode};
    env.push_back(c.logged ? "QELMAR_LOG=" + log.string() : "QELMAR_LOG=");
    const auto host = qelmar::test::run_process({"/proc/self/exe"}, {env, ""});
    if (host.status == 77) GTEST_SKIP() << "SKIPPED: libasound.so.2 cannot be loaded here";
    ASSERT_EQ(host.status, 0) << c.mode << "\n" << host.err;
    EXPECT_EQ(host.err, "") << c.mode;
    std::string out;
    for (const std::string& line : c.out) out += line + "\n";
    EXPECT_EQ(host.out, out) << c.mode;
    const auto lines = lines_of(log);
    if (!c.logged) {
      EXPECT_TRUE(lines.empty()) << c.mode;
      continue;
    }
    ASSERT_EQ(lines.size(), 1u) << c.mode;
    EXPECT_NE(lines[0].find(c.log_has), std::string::npos) << c.mode << ": " << lines[0];
  }
}

TEST(SoundLibraries, SaysWhichLibraryOrFunctionIsMissing) {
  // There, but not what it takes to load: that is not "not installed".
  const qelmar::test::TempDir temp;
  const std::string broken = temp.path() + "/libbroken.so.1";
  std::ofstream(broken) << std::string(256, 'x');  // longer than an ELF header
  const struct {
    std::string sndfile, alsa, why_not;
  } cases[] = {
      {"libabsent-sndfile.so.1", "libasound.so.2", "libabsent-sndfile.so.1 is not installed"},
      {"libsndfile.so.1", "libabsent-asound.so.2", "libabsent-asound.so.2 is not installed"},
      {"libasound.so.2", "libasound.so.2", "libasound.so.2 has no sf_open_fd"},
      {"libsndfile.so.1", "libsndfile.so.1", "libsndfile.so.1 has no snd_pcm_open"},
      {broken, "libasound.so.2", broken + " cannot be loaded: invalid ELF header"},
      {"libsndfile.so.1", broken, broken + " cannot be loaded: invalid ELF header"},
  };
  for (const auto& c : cases) {
    qelmar::sound::SoundLibraries libraries;
    EXPECT_FALSE(libraries.load(c.sndfile.c_str(), c.alsa.c_str())) << c.why_not;
    EXPECT_FALSE(libraries.loaded()) << c.why_not;
    EXPECT_STREQ(libraries.why_not(), c.why_not.c_str());
    // Nothing half-found is left to be called.
    EXPECT_EQ(libraries.functions().sf_open_fd, nullptr) << c.why_not;
    EXPECT_EQ(libraries.functions().snd_pcm_open, nullptr) << c.why_not;
  }
  EXPECT_EQ(::dlerror(), nullptr);  // no error of ours left for the host to find
}

TEST_F(SoundTest, LoadedFunctionsAreTheLibrariesOwn) {
  qelmar::sound::SoundLibraries libraries;
  ASSERT_TRUE(libraries.load("libsndfile.so.1", "libasound.so.2")) << libraries.why_not();
  EXPECT_TRUE(libraries.loaded());
  EXPECT_STREQ(libraries.why_not(), "");
  const auto& lib = libraries.functions();

  char theirs[128] = {}, ours[128] = {};
  lib.sf_command(nullptr, SFC_GET_LIB_VERSION, theirs, sizeof theirs);
  sf_command(nullptr, SFC_GET_LIB_VERSION, ours, sizeof ours);
  EXPECT_STREQ(theirs, ours);
  EXPECT_EQ(reinterpret_cast<void*>(lib.snd_lib_error_set_local),
            ::dlsym(::dlopen("libasound.so.2", RTLD_NOW | RTLD_NOLOAD), "snd_lib_error_set_local"));

  use_alsa_config("{ type null }");
  snd_pcm_t* pcm = nullptr;
  ASSERT_EQ(lib.snd_pcm_open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK), 0);
  EXPECT_EQ(lib.snd_pcm_set_params(pcm, SND_PCM_FORMAT_S16, SND_PCM_ACCESS_RW_INTERLEAVED, 1, 8000,
                                   1, 100000),
            0);
  EXPECT_EQ(lib.snd_pcm_state(pcm), SND_PCM_STATE_PREPARED);
  EXPECT_EQ(lib.snd_pcm_close(pcm), 0);
}

// Hosts that never play a sound must not need either library installed.
TEST(SoundLibraries, LibraryDoesNotNeedThem) {
  void* self = ::dlopen("libqelmar.so.0", RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(self, nullptr) << "libqelmar.so.0 is not loaded";
  link_map* map = nullptr;
  ASSERT_EQ(::dlinfo(self, RTLD_DI_LINKMAP, &map), 0);
  const std::string command = std::string("readelf -d '") + map->l_name + "'";
  ::dlclose(self);

  FILE* readelf = ::popen(command.c_str(), "r");
  ASSERT_NE(readelf, nullptr);
  std::vector<std::string> needed;
  char line[512];
  while (std::fgets(line, sizeof line, readelf) != nullptr) {
    const char* name = std::strstr(line, "(NEEDED)") != nullptr ? std::strchr(line, '[') : nullptr;
    if (name != nullptr) needed.emplace_back(name + 1, std::strcspn(name + 1, "]"));
  }
  ASSERT_EQ(::pclose(readelf), 0) << command;
  EXPECT_NE(std::find(needed.begin(), needed.end(), "libc.so.6"), needed.end());
  for (const std::string& name : needed) {
    EXPECT_NE(name.rfind("libsndfile", 0), 0u) << name;
    EXPECT_NE(name.rfind("libasound", 0), 0u) << name;
  }
}

}  // namespace
