#include "launcher/entry.h"

#include <exception>

#include "launcher/client_start.h"
#include "launcher/message_box.h"
#include "launcher/messages.h"
#include "launcher/launcher_settings.h"
#include "launcher/switches.h"
#include "maker/maker_console.h"
#include "maker/patch_maker.h"
#include "ui/splash_window.h"
#include "update/game_launcher.h"
#include "update/support_log.h"
#include "util/command_line.h"
#include "util/process.h"
#include "util/product.h"
#include "util/text.h"

namespace tsl {

namespace {

int run_maker_mode(const launcher_switches& switches) {
  attach_maker_console();
  bool ok = switches.genkey ? run_key_maker() : run_patch_maker(switches.publish_unsigned);
  if (switches.pause) run_pause();
  return ok ? 1 : 0;
}

void start_client(support_log& log) {
  uint32_t error = 0;
  const std::wstring client = join_path(executable_directory(), L"client\\Client.exe");
  if (!start_game_client(client, error)) {
    log.writef("Client %s could not be started (error %u)", client, error);
    show_error_message(format_wide(pick_text(texts::client_start_failed), error));
  } else {
    log.writef("Client %s started", client);
  }
}

// The arguments as one line, each with blanks in quotes.
std::wstring arguments_text(const std::vector<std::wstring>& arguments) {
  std::wstring text;
  for (const auto& argument : arguments) {
    if (!text.empty()) text += L' ';
    const bool quote = argument.empty() || argument.find_first_of(L" \t") != std::wstring::npos;
    text += quote ? L"\"" + argument + L"\"" : argument;
  }
  return text;
}

int run_launcher_mode(const std::vector<std::wstring>& arguments,
                      const launcher_switches& switches) {
  const bool no_update = switches.no_update;
  launcher_settings settings =
      read_launcher_settings(join_path(executable_directory(), L"launcher.ini"));
  if (switches.max_rate_given) settings.max_rate_kib = switches.max_rate_kib;
  CSplashWnd splash;
  splash.set_status_text(pick_text(texts::starting));
  splash.set_caption(product_site_caption);
  splash.start();
  int exit_code = 0;
  try {
    game_launcher session;
    session.set_verify(switches.verify);
    session.set_transfer_limits(settings.transfers, settings.max_rate_kib * 1024);
    if (no_update) {
      session.open_log();
    } else {
      session.prepare();
    }
    support_log& log = session.log();
    log.writef("Launcher %s started, arguments: %s", product_version, arguments_text(arguments));
    if (no_update) {
      log.write("No update asked for");
      start_client(log);
    } else {
      bool restart = false;
      const bool ok = session.run(splash, restart);
      // Paints come at the window's frame: the run's last status is shown
      // before a message box or the client takes the screen.
      splash.flush();
      if (!ok && session.another_launcher_running()) {
        // The launcher already at work starts the client when it is done;
        // this one changes nothing and only shows the user where that one is.
        log.write("Another launcher is at work on this installation; it starts the client");
        bring_splash_forward(current_process_id());
      } else if (!ok) {
        std::wstring message = pick_text(texts::update_failed);
        if (!session.error_text().empty()) {
          message += format_wide(pick_text(texts::error_detail), session.error_text());
        }
        show_error_message(message);
      } else if (restart) {
        if (restart_launcher()) {
          log.write("Launcher restarted");
        } else {
          log.write("The launcher could not be restarted");
          show_error_message(pick_text(texts::restart_failed));
        }
        exit_code = 1;
      } else {
        set_environment_variable(L"TSLLAUNCHER", L"true");
        if (splash.is_closed()) {
          log.write("Window closed: the client is not started");
        } else {
          start_client(log);
        }
      }
    }
  } catch (const std::exception& e) {
    // Nothing below the entry should throw; if it does, say so and end cleanly.
    std::wstring message = pick_text(texts::update_failed);
    message += format_wide(pick_text(texts::error_detail), utf8_to_wide(e.what()));
    show_error_message(message);
  }
  splash.close();
  return exit_code;
}

}  // namespace

int run_entry(const std::wstring& command_line) {
  std::vector<std::wstring> arguments = split_command_line(command_line);
  if (!arguments.empty()) arguments.erase(arguments.begin());
  launcher_switches switches = match_switches(arguments);
  if (switches.maker) return run_maker_mode(switches);
  return run_launcher_mode(arguments, switches);
}

}  // namespace tsl
