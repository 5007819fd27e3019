#include "update/update_texts.h"

namespace tsl {
namespace texts {

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
