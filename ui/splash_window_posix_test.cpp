// The console stand-in: what it writes to standard error, and how signals
// close it.
#include "ui/splash_window_testing.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "tests/test_util.h"
#include "util/native_path.h"
#include "util/product.h"
#include "util/text.h"

namespace tsl {
namespace {

// Points standard error at another descriptor for the life of the object.
class redirect_stderr {
 public:
  explicit redirect_stderr(int fd) {
    std::fflush(stderr);
    saved_ = dup(2);
    dup2(fd, 2);
  }
  ~redirect_stderr() { restore(); }
  void restore() {
    if (saved_ < 0) return;
    dup2(saved_, 2);
    ::close(saved_);
    saved_ = -1;
  }

 private:
  int saved_ = -1;
};

// Standard error into a file, read back afterwards: a log, not a terminal.
class captured_stderr {
 public:
  captured_stderr() : path_(native_path(dir_ / L"stderr.txt")) {
    fd_ = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    redirect_ = std::make_unique<redirect_stderr>(fd_);
  }
  ~captured_stderr() {
    redirect_.reset();
    ::close(fd_);
  }
  std::string text() {
    redirect_.reset();
    return test::read_file(dir_ / L"stderr.txt");
  }

 private:
  test::scoped_temp_dir dir_;
  std::string path_;
  int fd_ = -1;
  std::unique_ptr<redirect_stderr> redirect_;
};

TEST(SplashConsole, LogGetsOneLinePerNewText) {
  captured_stderr capture;
  {
    CSplashWnd splash;
    splash.set_status_text(L"Starting...");  // before start: nothing yet
    splash.set_caption(product_site_caption);
    splash.start();
    splash.set_status_text(L"Starting...");  // same text: no new line
    splash.set_progress(50, 100);
    splash.set_status_text(L"Checking files");
    splash.set_progress(51, 100);
    splash.set_status_text(L"Checking files");  // progress alone does not flood the log
    splash.set_progress(150, 100);
    splash.set_status_text(L"Unpacking");
    splash.set_progress(0, 0);
    splash.set_status_text(L"\x0417\x0430\x043f\x0443\x0441\x043a...");
    splash.close();
    splash.set_status_text(L"after close");
  }
  EXPECT_EQ(capture.text(),
            "Starting...\n"
            "Checking files  [############------------]  50%\n"
            "Unpacking  [########################] 100%\n"
            "\xd0\x97\xd0\xb0\xd0\xbf\xd1\x83\xd1\x81\xd0\xba...\n");
}

// A pseudo-terminal stands in for the user's terminal.
class pseudo_terminal {
 public:
  pseudo_terminal() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
    slave_ = open(ptsname(master_), O_RDWR | O_NOCTTY);
    if (slave_ < 0) return;
    termios mode{};
    tcgetattr(slave_, &mode);
    cfmakeraw(&mode);  // no "\n" -> "\r\n" rewriting
    tcsetattr(slave_, TCSANOW, &mode);
    winsize size{};
    size.ws_col = 50;
    size.ws_row = 24;
    ioctl(slave_, TIOCSWINSZ, &size);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  }
  ~pseudo_terminal() {
    if (slave_ >= 0) ::close(slave_);
    if (master_ >= 0) ::close(master_);
  }
  bool ok() const { return slave_ >= 0; }
  int slave() const { return slave_; }
  std::string drain() {
    std::string out;
    char buffer[4096];
    ssize_t n;
    while ((n = read(master_, buffer, sizeof buffer)) > 0) out.append(buffer, n);
    return out;
  }

 private:
  int master_ = -1;
  int slave_ = -1;
};

TEST(SplashConsole, TerminalLineIsRedrawnInPlaceAndFitsTheWidth) {
  pseudo_terminal terminal;
  if (!terminal.ok()) GTEST_SKIP() << "no pseudo-terminal here";
  std::string output;
  {
    redirect_stderr redirect(terminal.slave());
    CSplashWnd splash;
    splash.set_status_text(L"Starting...");
    splash.start();
    splash.set_progress(1, 4);
    splash.set_status_text(L"Starting...");  // redrawn: the bar moved
    splash.flush();
    splash.set_progress(2, 4);
    splash.set_status_text(L"Downloading a file with a very long name.pak");
    splash.close();  // draws what the frame had not drawn yet
    redirect.restore();
    output = terminal.drain();
  }
  const std::string clear = "\r\x1b[2K";
  // 49 columns: the text gives way to the bar.
  EXPECT_EQ(output, clear + "Starting..." +                                       //
                        clear + "Starting...  [######------------------]  25%" +  //
                        clear + "Downloading a fi  [############------------]  50%" + "\n");
}

// On a terminal nobody reads faster than the display: a burst is drawn at
// most once a frame and ends on its last state. A log keeps every text.
TEST(SplashConsole, BurstIsDrawnAtFrameRateOnATerminalAndWholeInALog) {
  constexpr int changes = 1000;
  auto text_of = [](int i) { return L"Checking file 'Item " + std::to_wstring(i) + L".dat'"; };
  pseudo_terminal terminal;
  if (terminal.ok()) {
    std::string output;
    std::chrono::steady_clock::duration took{};
    {
      redirect_stderr redirect(terminal.slave());
      CSplashWnd splash;
      splash.start();
      const auto started = std::chrono::steady_clock::now();
      for (int i = 1; i <= changes; ++i) splash.set_status_text(text_of(i));
      took = std::chrono::steady_clock::now() - started;
      splash.close();
      redirect.restore();
      output = terminal.drain();
    }
    size_t draws = 0;
    for (size_t at = output.find("\r\x1b[2K"); at != std::string::npos;
         at = output.find("\r\x1b[2K", at + 1)) {
      ++draws;
    }
    // The first line, one per frame, and the last state at close.
    EXPECT_LE(draws, static_cast<size_t>(took / std::chrono::milliseconds(16)) + 3);
    const std::string last = "\r\x1b[2KChecking file 'Item 1000.dat'\n";
    ASSERT_GE(output.size(), last.size());
    EXPECT_EQ(output.substr(output.size() - last.size()), last);
  }

  captured_stderr capture;
  {
    CSplashWnd splash;
    splash.start();
    for (int i = 1; i <= changes; ++i) splash.set_status_text(text_of(i));
    splash.close();
  }
  std::string expected;
  for (int i = 1; i <= changes; ++i) expected += wide_to_utf8(text_of(i)) + "\n";
  EXPECT_EQ(capture.text(), "\n" + expected);  // the empty first status, then every text
}

// A state that stands is drawn at its frame while its caller does
// something else, without another call.
TEST(SplashConsole, StandingStateIsDrawnWhileTheCallerWaits) {
  pseudo_terminal terminal;
  if (!terminal.ok()) GTEST_SKIP() << "no pseudo-terminal here";
  redirect_stderr redirect(terminal.slave());
  CSplashWnd splash;
  splash.set_status_text(L"Connecting...");
  splash.start();
  splash.set_status_text(L"Attempt 2");  // within the first frame: left to it
  std::string output;
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (output.find("Attempt 2") == std::string::npos &&
         std::chrono::steady_clock::now() < limit) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    output += terminal.drain();
  }
  EXPECT_NE(output.find("\r\x1b[2KAttempt 2"), std::string::npos) << output;
  splash.close();
  redirect.restore();
}

TEST(SplashConsole, InterruptAndTerminateCloseLikeTheButton) {
  captured_stderr capture;
  struct sigaction before_int {
  }, before_term{};
  sigaction(SIGINT, nullptr, &before_int);
  sigaction(SIGTERM, nullptr, &before_term);

  for (int signal_number : {SIGINT, SIGTERM}) {
    testable_splash splash;
    splash.set_status_text(L"Checking files");
    splash.start();
    EXPECT_FALSE(splash.is_closed());
    raise(signal_number);
    EXPECT_TRUE(splash.is_closed()) << signal_number;
    uint32_t painted = splash.paint_count();
    splash.set_status_text(L"dropped once closed");
    EXPECT_EQ(splash.paint_count(), painted);
    splash.close();
  }
  // close gave the signals back to whoever had them.
  struct sigaction after_int {
  }, after_term{};
  sigaction(SIGINT, nullptr, &after_int);
  sigaction(SIGTERM, nullptr, &after_term);
  EXPECT_EQ(after_int.sa_handler, before_int.sa_handler);
  EXPECT_EQ(after_term.sa_handler, before_term.sa_handler);
  EXPECT_EQ(capture.text(), "Checking files\nChecking files\n");
}

TEST(SplashConsole, SignalsBeforeStartOrAfterCloseAreNotOurs) {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  struct sigaction previous {};
  sigaction(SIGINT, &ignore, &previous);
  {
    CSplashWnd splash;
    raise(SIGINT);  // ignored: no handler of ours yet
    EXPECT_FALSE(splash.is_closed());
    CSplashWnd other;
    captured_stderr capture;
    other.start();
    other.close();
    raise(SIGINT);  // ignored again after close restored it
    EXPECT_FALSE(splash.is_closed());
  }
  sigaction(SIGINT, &previous, nullptr);
}

TEST(SplashConsole, ConcurrentUpdatesWriteWholeLines) {
  captured_stderr capture;
  {
    CSplashWnd splash;
    splash.start();
    std::vector<std::thread> threads;
    for (int w = 0; w < 4; ++w) {
      threads.emplace_back([&, w] {
        for (int s = 0; s < 100; ++s) {
          splash.set_progress(s, 100);
          splash.set_status_text(L"worker " + std::to_wstring(w) + L" step " + std::to_wstring(s));
        }
      });
    }
    for (auto& t : threads) t.join();
    splash.close();
  }
  std::string text = capture.text();
  size_t lines = 0, start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    ASSERT_NE(end, std::string::npos) << "unterminated line";
    std::string line = text.substr(start, end - start);
    int worker = -1, step = -1, percent = -1;
    char bar[64] = {};
    if (line != "") {
      ASSERT_EQ(std::sscanf(line.c_str(), "worker %d step %d  [%24[#-]] %d%%", &worker, &step, bar,
                            &percent),
                4)
          << line;
      EXPECT_EQ(std::string(bar).size(), 24u) << line;
    }
    ++lines;
    start = end + 1;
  }
  EXPECT_GE(lines, 2u);
}

}  // namespace
}  // namespace tsl
