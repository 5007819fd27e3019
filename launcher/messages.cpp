#include "launcher/messages.h"

#include "util/process.h"

namespace tsl {

uint16_t system_language() {
  static const uint16_t language = query_system_language();
  return language;
}

bool is_russian_language(uint16_t language) {
  return language == 1049 || language == 1058 || language == 1059;
}

const wchar_t* pick_text(const wchar_t* russian, const wchar_t* english) {
  return is_russian_language(system_language()) ? russian : english;
}

namespace texts {

const localized_text starting = {L"Запуск...", L"Starting..."};
const localized_text update_failed = {
    L"К сожалению мы не смогли проверить файлы игры на наличие обновлений. Игра не сможет "
    L"запуститься.\nПожалуйста, проверьте настройки антивируса/фаервола или обратитесь в службу "
    L"поддержки.",
    L"We could not check your game files for updates. The game will not start.\nPlease check your "
    L"antivirus/firewall setting or contact support."};
const localized_text error_detail = {L"\n\nОшибка: %s", L"\n\nError: %s"};
const localized_text restart_failed = {
    L"При перезапуске программы возникла ошибка. Запустите программу самостоятельно.",
    L"There was an error restarting application. Please start it again manually."};
const localized_text client_start_failed = {
    L"Не удалось запустить игру.\nОшибка: 0x%08X.\n\nПожалуйста, полностью проверьте ваш игровой "
    L"клиент.",
    L"An error occurred while starting the gamet.\nError: 0x%08X.\n\nPlease full check your game "
    L"client."};

const localized_text connecting = {L"Подключаюсь к серверу обновлений...",
                                   L"Connecting to update server... "};
const localized_text connection_attempt = {L"Попытка подключения #%u...",
                                           L"Connection attempt #%u... "};
const localized_text checking_game_files = {L"Проверю файлы игры...", L"Checking game files... "};
const localized_text checking_file = {L"Проверка файла '%s'", L"Checking file '%s'"};
const localized_text downloading_file = {L"Загружаю файл '%s'", L"Downloading file '%s'"};
const localized_text downloading_file_percent = {L"Загружаю файл '%s' (%d%%)",
                                                 L"Downloading file '%s' (%d%%)"};
const localized_text unpacking = {L"Распаковка '%s'", L"Unpacking '%s'"};
const localized_text download_failed = {L"Ошибка загрузки %u файлов",
                                        L"Download failed for %u files"};
const localized_text unpack_failed = {L"Ошибка распаковки %u файлов",
                                      L"Unpack failed for %u files"};
const localized_text files_updated = {L"Обновление завершено", L"Files updated"};

}  // namespace texts
}  // namespace tsl
