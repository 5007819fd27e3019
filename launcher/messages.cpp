#include "launcher/messages.h"

namespace tsl {
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

}  // namespace texts
}  // namespace tsl
