#include "common/ui_texts.h"

#include "common/app_paths.h"
#include "common/client_settings.h"
#include "common/user_folders.h"

#include <QCoreApplication>
#include <QDir>
#include <QHash>
#include <QLibraryInfo>
#include <QRegularExpression>
#include <QSet>
#include <QTranslator>
#include <array>
#include <atomic>
#include <memory>
#include <utility>

namespace kelv {

namespace {

std::atomic<UiLanguage> g_language{UiLanguage::English};

// One text in every language, in the order of UiLanguage.
using Row = std::array<const char *, 7>;

// The texts of the update dialog, the update's message box and the crash
// reporter.
const QHash<QString, Row> &catalogue()
{
    static const QHash<QString, Row> table = [] {
        const Row rows[] = {
            // Update dialog.
            {"Found the new version,update now?", "发现新版本，要立即更新吗？",
             "發現新版本，要立即更新嗎？", "Neue Version verfügbar. Jetzt aktualisieren?",
             "新しいバージョンがあります。今すぐ更新しますか？",
             "Найдена новая версия. Обновить сейчас?", "새 버전이 있습니다. 지금 업데이트할까요?"},
            {"cancel", "取消", "取消", "Abbrechen", "キャンセル", "Отмена", "취소"},
            {"Update", "更新", "更新", "Update", "更新", "Обновить", "업데이트"},
            {"Downloading package resources。。。", "正在下载更新包…", "正在下載更新套件…",
             "Das Update-Paket wird heruntergeladen…", "更新パッケージをダウンロード中…",
             "Загрузка пакетов обновления…", "업데이트 패키지 다운로드 중…"},
            {"The current version is the latest version", "当前已是最新版本", "目前已是最新版本",
             "Die installierte Version ist die neueste", "現在のバージョンが最新です",
             "Установлена последняя версия", "현재 버전이 최신 버전입니다"},
            {"confirm", "确定", "確定", "OK", "OK", "ОК", "확인"},
            {"Download failed, please check the network", "下载失败，请检查网络",
             "下載失敗，請檢查網路", "Download fehlgeschlagen. Prüfen Sie das Netzwerk.",
             "ダウンロードに失敗しました。ネットワークを確認してください",
             "Ошибка загрузки. Проверьте подключение к сети.",
             "다운로드에 실패했습니다. 네트워크를 확인하세요"},
            {"The download is complete,Restart now?", "下载完成，要立即重新启动吗？",
             "下載完成，要立即重新啟動嗎？", "Download abgeschlossen. Jetzt neu starten?",
             "ダウンロードが完了しました。今すぐ再起動しますか？",
             "Загрузка завершена. Перезапустить сейчас?",
             "다운로드가 끝났습니다. 지금 다시 시작할까요?"},
            {"Restart Now", "立即重启", "立即重新啟動", "Neu starten", "今すぐ再起動",
             "Перезапустить", "다시 시작"},
            {"Update Complete", "更新完成", "更新完成", "Update abgeschlossen",
             "更新が完了しました", "Обновление завершено", "업데이트 완료"},
            {"A new version of kelv is available. Your system's package manager installs it: "
             "update kelv with your system's software updates.",
             "kelv 有新版本。它由系统的软件包管理器安装：请通过系统的软件更新来更新 kelv。",
             "kelv 有新版本。它由系統的套件管理員安裝：請透過系統的軟體更新來更新 kelv。",
             "Eine neue Version von kelv ist verfügbar. Die Paketverwaltung des Systems "
             "installiert "
             "sie: Aktualisieren Sie kelv über die Software-Updates des Systems.",
             "kelv の新しいバージョンがあります。kelv "
             "はシステムのパッケージマネージャーでインストールされています。"
             "システムのソフトウェア更新で kelv を更新してください。",
             "Доступна новая версия kelv. Её устанавливает менеджер пакетов системы: обновите kelv "
             "средствами обновления системы.",
             "kelv의 새 버전이 있습니다. 새 버전은 시스템의 패키지 관리자가 설치합니다. 시스템의 "
             "소프트웨어 업데이트로 kelv를 업데이트하세요."},
            {"Updates are not set up: no trusted update key", "更新未设置：没有受信任的更新密钥",
             "更新未設定：沒有受信任的更新金鑰",
             "Updates sind nicht eingerichtet: kein vertrauenswürdiger Update-Schlüssel",
             "更新は設定されていません：信頼できる更新キーがありません",
             "Обновления не настроены: нет доверенного ключа обновлений",
             "업데이트가 설정되지 않았습니다: 신뢰할 수 있는 업데이트 키가 없습니다"},
            {"Download failed: the server answered %1", "下载失败：服务器返回 %1",
             "下載失敗：伺服器回應 %1", "Download fehlgeschlagen: Der Server antwortete mit %1",
             "ダウンロードに失敗しました：サーバーの応答 %1", "Ошибка загрузки: сервер ответил %1",
             "다운로드 실패: 서버 응답 %1"},
            {"Update refused: %1", "更新被拒绝：%1", "更新遭拒：%1", "Update abgelehnt: %1",
             "更新を拒否しました：%1", "Обновление отклонено: %1", "업데이트 거부됨: %1"},
            {"Update refused: %1 is not a secure (https) address",
             "更新被拒绝：%1 不是安全（https）地址", "更新遭拒：%1 不是安全（https）位址",
             "Update abgelehnt: %1 ist keine sichere (https-)Adresse",
             "更新を拒否しました：%1 は安全な（https）アドレスではありません",
             "Обновление отклонено: %1 — не защищённый (https) адрес",
             "업데이트 거부됨: %1은(는) 안전한(https) 주소가 아닙니다"},
            // Why an update was refused, and what it asks (update dialog).
            {"The package's version %1 is not newer than the installed version %2. Install it "
             "anyway?",
             "更新包的版本 %1 并不比已安装的版本 %2 新。仍要安装吗？",
             "更新套件的版本 %1 並不比已安裝的版本 %2 新。仍要安裝嗎？",
             "Die Version %1 des Pakets ist nicht neuer als die installierte Version %2. Trotzdem "
             "installieren?",
             "パッケージのバージョン %1 はインストール済みのバージョン %2 "
             "より新しくありません。それでもインストールしますか？",
             "Версия пакета %1 не новее установленной версии %2. Всё равно установить?",
             "패키지 버전 %1은(는) 설치된 버전 %2보다 새롭지 않습니다. 그래도 설치할까요?"},
            {"Install", "安装", "安裝", "Installieren", "インストール", "Установить", "설치"},
            {"Download too slow, please check the network", "下载速度过慢，请检查网络",
             "下載速度過慢，請檢查網路", "Der Download ist zu langsam. Prüfen Sie das Netzwerk.",
             "ダウンロードが遅すぎます。ネットワークを確認してください",
             "Загрузка идёт слишком медленно. Проверьте сеть.",
             "다운로드가 너무 느립니다. 네트워크를 확인하세요"},
            // An update rolled back (message at the next start).
            {"Update rolled back", "更新已回滚", "更新已還原", "Update zurückgenommen",
             "更新を元に戻しました", "Обновление отменено", "업데이트를 되돌렸습니다"},
            {"The update was interrupted before all its files were in place and has been rolled "
             "back. The previous version has been restored.",
             "更新在所有文件就位之前被中断，已回滚。已恢复为之前的版本。",
             "更新在所有檔案就位之前中斷，已經還原。已恢復為先前的版本。",
             "Das Update wurde unterbrochen, bevor alle seine Dateien an ihrem Platz waren, und "
             "wurde zurückgenommen. Die vorherige Version ist wiederhergestellt.",
             "すべてのファイルが配置される前に更新が中断されたため、更新を元に戻しました。"
             "以前のバージョンに戻っています。",
             "Обновление было прервано до того, как все его файлы оказались на месте, и "
             "отменено. Предыдущая версия восстановлена.",
             "모든 파일이 제자리에 놓이기 전에 업데이트가 중단되어 되돌렸습니다. 이전 버전이 "
             "복원되었습니다."},
            {"The update was rolled back: the Updater that checks the new version could not be "
             "started. The previous version has been restored.",
             "更新已回滚：无法启动检查新版本的更新程序。已恢复为之前的版本。",
             "更新已還原：無法啟動檢查新版本的更新程式。已恢復為先前的版本。",
             "Das Update wurde zurückgenommen: Der Updater, der die neue Version prüft, konnte "
             "nicht gestartet werden. Die vorherige Version ist wiederhergestellt.",
             "更新を元に戻しました。新しいバージョンを確認するアップデーターを起動できませんで"
             "した。以前のバージョンに戻っています。",
             "Обновление отменено: не удалось запустить Updater, который проверяет новую "
             "версию. Предыдущая версия восстановлена.",
             "업데이트를 되돌렸습니다. 새 버전을 확인하는 업데이터를 시작할 수 없었습니다. 이전 "
             "버전이 복원되었습니다."},
            {"Update failed: the Updater cannot be replaced", "更新失败：无法替换更新程序",
             "更新失敗：無法替換更新程式", "Update fehlgeschlagen: Updater nicht ersetzbar",
             "更新に失敗しました：アップデーターを置き換えられません",
             "Ошибка обновления: не удаётся заменить Updater",
             "업데이트 실패: 업데이터를 교체할 수 없습니다"},
            {"Firmware update", "固件更新", "韌體更新", "Firmware-Update", "ファームウェア更新",
             "Обновление прошивки", "펌웨어 업데이트"},
            {"kelv will close as soon as the firmware update has finished.",
             "固件更新完成后 kelv 将立即关闭。", "韌體更新完成後 kelv 將立即關閉。",
             "kelv wird beendet, sobald das Firmware-Update abgeschlossen ist.",
             "ファームウェア更新が終わり次第、kelv を終了します。",
             "kelv закроется, как только обновление прошивки завершится.",
             "펌웨어 업데이트가 끝나는 대로 kelv가 종료됩니다."},
            // A quit that would lose edits kelv cannot save.
            {"Changes not saved", "更改未保存", "變更未儲存", "Änderungen nicht gespeichert",
             "変更は保存されていません", "Изменения не сохранены", "변경 사항이 저장되지 않음"},
            {"kelv cannot save your changes: it may not write to the folder %1. Quit anyway and "
             "lose them? To keep them, cancel, make the folder writable for your user and try "
             "again.",
             "kelv 无法保存您的更改：它没有写入文件夹 %1 的权限。仍要退出并丢弃这些更改吗？"
             "若要保留，请取消，让您的用户可以写入该文件夹，然后重试。",
             "kelv 無法儲存您的變更：它沒有寫入資料夾 %1 的權限。仍要結束並捨棄這些變更嗎？"
             "若要保留，請取消，讓您的使用者可以寫入該資料夾，然後再試一次。",
             "kelv kann Ihre Änderungen nicht speichern: Es darf nicht in den Ordner %1 schreiben. "
             "Trotzdem beenden und die Änderungen verwerfen? Um sie zu behalten, brechen Sie ab, "
             "machen Sie den Ordner für Ihren Benutzer beschreibbar und versuchen Sie es erneut.",
             "kelv は変更を保存できません。フォルダー %1 への書き込みが許可されていません。"
             "変更を破棄して終了しますか？残す場合はキャンセルし、このフォルダーをお使いの"
             "ユーザーが書き込めるようにしてから、もう一度お試しください。",
             "kelv не может сохранить изменения: у него нет права записи в папку %1. Всё равно "
             "выйти и потерять их? Чтобы сохранить их, нажмите «Отмена», разрешите своему "
             "пользователю запись в эту папку и повторите попытку.",
             "kelv가 변경 사항을 저장할 수 없습니다. %1 폴더에 쓸 권한이 없습니다. 그래도 "
             "종료하고 변경 사항을 버릴까요? 유지하려면 취소하고, 이 폴더에 사용자가 쓸 수 "
             "있도록 한 뒤 다시 시도하세요."},
            {"kelv could not save your changes in %1 (is the disk full?). Quit anyway and lose "
             "them?",
             "kelv 无法将您的更改保存到 %1（磁盘是否已满？）。仍要退出并丢弃这些更改吗？",
             "kelv 無法將您的變更儲存到 %1（磁碟是否已滿？）。仍要結束並捨棄這些變更嗎？",
             "kelv konnte Ihre Änderungen nicht in %1 speichern (ist der Datenträger voll?). "
             "Trotzdem beenden und die Änderungen verwerfen?",
             "kelv は変更を %1 に保存できませんでした（ディスクがいっぱいではありませんか？）。"
             "変更を破棄して終了しますか？",
             "kelv не удалось сохранить изменения в %1 (диск заполнен?). Всё равно выйти и "
             "потерять их?",
             "kelv가 변경 사항을 %1에 저장하지 못했습니다(디스크가 가득 찼나요?). 그래도 "
             "종료하고 변경 사항을 버릴까요?"},
            {"the package is not signed", "更新包未签名", "更新套件未簽署",
             "das Paket ist nicht signiert", "パッケージに署名がありません", "пакет не подписан",
             "패키지에 서명이 없습니다"},
            {"the package is signed by an unknown key", "更新包由未知密钥签名",
             "更新套件由未知金鑰簽署", "das Paket ist mit einem unbekannten Schlüssel signiert",
             "パッケージは不明なキーで署名されています", "пакет подписан неизвестным ключом",
             "패키지가 알 수 없는 키로 서명되었습니다"},
            {"the package's signature does not match its content", "更新包的签名与内容不符",
             "更新套件的簽章與內容不符", "die Signatur des Pakets passt nicht zu seinem Inhalt",
             "パッケージの署名が内容と一致しません", "подпись пакета не совпадает с его содержимым",
             "패키지 서명이 내용과 일치하지 않습니다"},
            {"the package has an outdated format", "更新包格式过旧", "更新套件格式過舊",
             "das Paket hat ein veraltetes Format", "パッケージの形式が古すぎます",
             "пакет в устаревшем формате", "패키지 형식이 오래되었습니다"},
            {"the package is damaged", "更新包已损坏", "更新套件已損毀", "das Paket ist beschädigt",
             "パッケージが壊れています", "пакет повреждён", "패키지가 손상되었습니다"},
            {"the package is incomplete", "更新包不完整", "更新套件不完整",
             "das Paket ist unvollständig", "パッケージが不完全です", "пакет неполный",
             "패키지가 불완전합니다"},
            {"the package is too large", "更新包过大", "更新套件過大", "das Paket ist zu groß",
             "パッケージが大きすぎます", "пакет слишком велик", "패키지가 너무 큽니다"},
            {"the package is empty", "更新包为空", "更新套件是空的", "das Paket ist leer",
             "パッケージが空です", "пакет пуст", "패키지가 비어 있습니다"},
            {"the package is of another kind", "更新包类型不符", "更新套件類型不符",
             "das Paket ist von einer anderen Art", "パッケージの種類が違います",
             "пакет другого типа", "패키지 종류가 다릅니다"},
            {"the package is for another product", "更新包属于其他产品", "更新套件屬於其他產品",
             "das Paket ist für ein anderes Produkt", "パッケージは別の製品用です",
             "пакет предназначен для другого продукта", "다른 제품용 패키지입니다"},
            {"the package names a file outside its folder", "更新包包含其文件夹之外的文件名",
             "更新套件包含其資料夾之外的檔名",
             "das Paket nennt eine Datei außerhalb seines Ordners",
             "パッケージがフォルダー外のファイルを指定しています",
             "пакет указывает файл вне своей папки", "패키지가 폴더 밖의 파일을 가리킵니다"},
            {"the package cannot be read", "无法读取更新包", "無法讀取更新套件",
             "das Paket kann nicht gelesen werden", "パッケージを読み取れません",
             "не удаётся прочитать пакет", "패키지를 읽을 수 없습니다"},
            {"the update folder cannot be written", "无法写入更新文件夹", "無法寫入更新資料夾",
             "der Update-Ordner kann nicht beschrieben werden", "更新フォルダーに書き込めません",
             "не удаётся записать в папку обновления", "업데이트 폴더에 쓸 수 없습니다"},
            {"there is not enough free disk space", "磁盘空间不足", "磁碟空間不足",
             "es ist nicht genug Speicherplatz frei", "ディスクの空き容量が足りません",
             "недостаточно места на диске", "디스크 여유 공간이 부족합니다"},
            {"a file of the package cannot be written", "无法写入更新包中的文件",
             "無法寫入更新套件中的檔案", "eine Datei des Pakets kann nicht geschrieben werden",
             "パッケージのファイルを書き込めません", "не удаётся записать файл пакета",
             "패키지의 파일을 쓸 수 없습니다"},
            {"updates are not set up (no trusted update key)", "更新未设置（没有受信任的更新密钥）",
             "更新未設定（沒有受信任的更新金鑰）",
             "Updates sind nicht eingerichtet (kein vertrauenswürdiger Update-Schlüssel)",
             "更新が設定されていません（信頼できる更新キーがありません）",
             "обновления не настроены (нет доверенного ключа обновлений)",
             "업데이트가 설정되지 않았습니다(신뢰할 수 있는 업데이트 키가 없음)"},
            {"the server sent too much data", "服务器发送的数据过多", "伺服器傳送的資料過多",
             "der Server hat zu viele Daten gesendet", "サーバーが送ってきたデータが多すぎます",
             "сервер прислал слишком много данных", "서버가 너무 많은 데이터를 보냈습니다"},
            {"the firmware image is unusable", "固件映像不可用", "韌體映像無法使用",
             "das Firmware-Abbild ist unbrauchbar", "ファームウェアイメージが使用できません",
             "образ прошивки непригоден", "펌웨어 이미지를 사용할 수 없습니다"},
            {"the update service named no package", "更新服务未提供更新包",
             "更新服務未提供更新套件", "der Update-Dienst hat kein Paket genannt",
             "更新サービスがパッケージを指定していません", "служба обновлений не указала пакет",
             "업데이트 서비스가 패키지를 지정하지 않았습니다"},
            {"The last firmware update did not finish,finish it now?",
             "上次固件更新没有完成，现在完成吗？", "上次的韌體更新沒有完成，要立即完成嗎？",
             "Das letzte Firmware-Update wurde nicht abgeschlossen. Jetzt abschließen?",
             "前回のファームウェア更新が完了していません。今すぐ完了しますか？",
             "Предыдущее обновление прошивки не завершено. Завершить сейчас?",
             "지난 펌웨어 업데이트가 완료되지 않았습니다. 지금 완료할까요?"},
            // Firmware messages (source: Chinese).
            {"Updating the firmware, do not unplug the mouse", "正在更新固件，请勿插拔鼠标",
             "正在更新韌體，請勿插拔滑鼠", "Firmware-Update läuft. Ziehen Sie die Maus nicht ab.",
             "ファームウェアを更新中です。マウスを抜かないでください",
             "Идёт обновление прошивки. Не отключайте мышь.",
             "펌웨어 업데이트 중입니다. 마우스를 뽑지 마세요"},
            {"The mouse update failed…", "鼠标更新失败…", "滑鼠更新失敗…",
             "Das Update der Maus ist fehlgeschlagen…", "マウスの更新に失敗しました…",
             "Не удалось обновить мышь…", "마우스 업데이트에 실패했습니다…"},
            {"Update succeeded", "更新成功", "更新成功", "Update erfolgreich", "更新に成功しました",
             "Обновление выполнено", "업데이트 성공"},
            {"Update failed", "更新失败", "更新失敗", "Update fehlgeschlagen", "更新に失敗しました",
             "Ошибка обновления", "업데이트 실패"},
            {"Check passed, starting the device…", "校验成功，正在启动设备…",
             "驗證成功，正在啟動裝置…", "Prüfung bestanden. Das Gerät wird gestartet…",
             "検証に成功しました。デバイスを起動しています…",
             "Проверка пройдена. Запуск устройства…", "검증에 성공했습니다. 장치를 시작하는 중…"},
            {"Check failed, please update again", "校验失败，请重新更新", "驗證失敗，請重新更新",
             "Prüfung fehlgeschlagen. Wiederholen Sie das Update.",
             "検証に失敗しました。もう一度更新してください",
             "Проверка не пройдена. Повторите обновление.",
             "검증에 실패했습니다. 다시 업데이트하세요."},
            // The update's message box.
            {"Update error!", "更新错误！", "更新錯誤！", "Update-Fehler!", "更新エラー",
             "Ошибка обновления!", "업데이트 오류!"},
            {"Failed to update kelv :(\n%1 is not accessible.", "kelv 更新失败 :(\n无法访问 %1。",
             "kelv 更新失敗 :(\n無法存取 %1。",
             "kelv konnte nicht aktualisiert werden :(\n%1 ist nicht zugänglich.",
             "kelv を更新できませんでした :(\n%1 にアクセスできません。",
             "Не удалось обновить kelv :(\n%1 недоступен.",
             "kelv를 업데이트하지 못했습니다 :(\n%1에 접근할 수 없습니다."},
            // The main window closed where the desktop has no tray.
            {"kelv keeps running", "kelv 仍在运行", "kelv 仍在執行", "kelv läuft weiter",
             "kelv は実行を続けます", "kelv продолжает работать", "kelv가 계속 실행됩니다"},
            {"This desktop has no notification area, so kelv cannot wait there with its window "
             "closed. The window is minimised instead, and kelv keeps switching modes for your "
             "programs. To make the close button quit kelv, choose \"Quits the program\" under "
             "Settings.",
             "此桌面环境没有通知区域（托盘），因此关闭窗口后 kelv "
             "无法在托盘中等待。窗口已改为最小化，"
             "kelv 会继续为您的程序切换模式。如果希望关闭按钮直接退出 "
             "kelv，请在“设置”中选择“退出程序”。",
             "此桌面環境沒有通知區域（系統匣），因此關閉視窗後 kelv "
             "無法在系統匣中等待。視窗已改為最小化，"
             "kelv 會繼續為您的程式切換模式。若希望關閉按鈕直接結束 "
             "kelv，請在「設定」中選擇「結束程式」。",
             "Dieser Desktop hat keinen Infobereich, daher kann kelv bei geschlossenem Fenster "
             "nicht dort warten. Das Fenster wird stattdessen minimiert, und kelv wechselt "
             "weiterhin die Modi für Ihre Programme. Damit die Schließen-Schaltfläche kelv "
             "beendet, wählen Sie unter „Einstellungen“ „Beendet das Programm“.",
             "このデスクトップには通知領域（トレイ）がないため、ウィンドウを閉じると kelv "
             "はそこで待機できません。代わりにウィンドウを最小化します。kelv "
             "はプログラムに合わせてモードを切り替え続けます。閉じるボタンで kelv "
             "を終了するには、「設定」で「プログラムを終了する」を選んでください。",
             "В этой среде рабочего стола нет области уведомлений, поэтому kelv не может ждать "
             "там с закрытым окном. Вместо этого окно свёрнуто, и kelv продолжает переключать "
             "режимы для ваших программ. Чтобы кнопка закрытия завершала kelv, выберите "
             "«Завершает программу» в «Настройках».",
             "이 데스크톱에는 알림 영역(트레이)이 없어서 창을 닫으면 kelv가 그곳에서 기다릴 수 "
             "없습니다. 대신 창을 최소화하며, kelv는 계속 프로그램에 맞춰 모드를 바꿉니다. 닫기 "
             "버튼으로 kelv를 종료하려면 \"설정\"에서 \"프로그램 종료\"를 선택하세요."},
            // Crash reporter. The causes complete "... because it %2" (Japanese and Korean
            // name them after "原因：" / "원인:", so theirs are noun phrases).
            {"tried to use memory it may not access", "试图使用无权访问的内存",
             "試圖使用無權存取的記憶體",
             "auf Speicher zugreifen wollte, den es nicht verwenden darf",
             "アクセスが許可されていないメモリへのアクセス",
             "попыталась обратиться к недоступной ей памяти", "접근 권한이 없는 메모리 사용 시도"},
            {"tried to use memory that does not exist or cannot be reached",
             "试图使用不存在或无法访问的内存", "試圖使用不存在或無法存取的記憶體",
             "Speicher verwenden wollte, den es nicht gibt oder der nicht erreichbar ist",
             "存在しないか到達できないメモリへのアクセス",
             "попыталась обратиться к несуществующей или недостижимой памяти",
             "존재하지 않거나 접근할 수 없는 메모리 사용 시도"},
            {"met an arithmetic error such as a division by zero", "遇到了除以零之类的算术错误",
             "遇到了除以零之類的算術錯誤",
             "auf einen Rechenfehler wie eine Division durch null stieß",
             "ゼロ除算などの演算エラー",
             "столкнулась с арифметической ошибкой, например делением на ноль",
             "0으로 나누기 같은 연산 오류"},
            {"tried to run an instruction the processor does not accept",
             "试图执行处理器不接受的指令", "試圖執行處理器不接受的指令",
             "einen Befehl ausführen wollte, den der Prozessor nicht annimmt",
             "プロセッサーが受け付けない命令の実行",
             "попыталась выполнить команду, которую не принимает процессор",
             "프로세서가 지원하지 않는 명령 실행 시도"},
            {"stopped itself after detecting an internal error", "检测到内部错误后自行停止",
             "偵測到內部錯誤後自行停止",
             "sich nach einem erkannten internen Fehler selbst beendet hat",
             "内部エラーの検出による自己停止", "остановилась сама, обнаружив внутреннюю ошибку",
             "내부 오류 감지에 따른 자체 중단"},
            {"met an unexpected error", "遇到了意外错误", "遇到了意外錯誤",
             "auf einen unerwarteten Fehler stieß", "予期しないエラー",
             "столкнулась с непредвиденной ошибкой", "예기치 않은 오류"},
            {"kelv stopped unexpectedly", "kelv 意外停止", "kelv 意外停止",
             "kelv wurde unerwartet beendet", "kelv が予期せず終了しました",
             "kelv неожиданно завершилась", "kelv가 예기치 않게 종료되었습니다"},
            {"No crash report to show", "没有可显示的崩溃报告", "沒有可顯示的當機報告",
             "Kein Absturzbericht vorhanden", "表示するクラッシュレポートはありません",
             "Нет отчёта о сбое", "표시할 충돌 보고서가 없습니다"},
            {"You can restart kelv now.", "现在可以重新启动 kelv。", "現在可以重新啟動 kelv。",
             "Sie können kelv jetzt neu starten.", "kelv を今すぐ再起動できます。",
             "Теперь kelv можно запустить снова.", "이제 kelv를 다시 시작할 수 있습니다."},
            {"No crash report was named. CrashReporter is started by kelv after a crash, with the "
             "path of the crash "
             "report.",
             "没有指定崩溃报告。CrashReporter 由 kelv 在崩溃后启动，并带有崩溃报告的路径。",
             "沒有指定當機報告。CrashReporter 由 kelv 在當機後啟動，並帶有當機報告的路徑。",
             "Es wurde kein Absturzbericht angegeben. CrashReporter wird nach einem Absturz von "
             "kelv mit dem Pfad des "
             "Berichts gestartet.",
             "クラッシュレポートが指定されていません。CrashReporter はクラッシュ後に kelv "
             "からレポートのパス付きで起動されます。",
             "Отчёт о сбое не указан. CrashReporter запускается программой kelv после сбоя с путём "
             "к отчёту.",
             "충돌 보고서가 지정되지 않았습니다. CrashReporter는 충돌 후 kelv가 보고서 경로와 함께 "
             "시작합니다."},
            {"kelv stopped unexpectedly, but its crash report could not be found at %1. It may not "
             "have been "
             "written, for example because the folder is full or write-protected. %2",
             "kelv 意外停止，但在 %1 "
             "找不到它的崩溃报告。报告可能没有写入，例如文件夹已满或被写保护。%2",
             "kelv 意外停止，但在 %1 "
             "找不到它的當機報告。報告可能沒有寫入，例如資料夾已滿或受到寫入保護。%2",
             "kelv wurde unerwartet beendet, aber sein Absturzbericht wurde unter %1 nicht "
             "gefunden. Vielleicht "
             "wurde er nicht geschrieben, etwa weil der Ordner voll oder schreibgeschützt ist. %2",
             "kelv が予期せず終了しましたが、クラッシュレポートが %1 "
             "に見つかりません。フォルダーがいっぱいか書き込み禁止のため、"
             "書き込まれなかった可能性があります。%2",
             "kelv неожиданно завершилась, но её отчёт о сбое не найден по пути %1. Возможно, он "
             "не был записан, "
             "например потому что папка заполнена или защищена от записи. %2",
             "kelv가 예기치 않게 종료되었지만 %1에서 충돌 보고서를 찾을 수 없습니다. 폴더가 가득 "
             "찼거나 쓰기 금지되어 "
             "기록되지 않았을 수 있습니다. %2"},
            {"kelv stopped unexpectedly, but its crash report %1 could not be read: %2. %3",
             "kelv 意外停止，但无法读取它的崩溃报告 %1：%2。%3",
             "kelv 意外停止，但無法讀取它的當機報告 %1：%2。%3",
             "kelv wurde unerwartet beendet, aber sein Absturzbericht %1 konnte nicht gelesen "
             "werden: %2. %3",
             "kelv が予期せず終了しましたが、クラッシュレポート %1 を読み取れませんでした：%2。%3",
             "kelv неожиданно завершилась, но её отчёт о сбое %1 не удалось прочитать: %2. %3",
             "kelv가 예기치 않게 종료되었지만 충돌 보고서 %1을(를) 읽을 수 없습니다: %2. %3"},
            {"The file %1 is not a kelv crash report, so there is nothing to show.",
             "文件 %1 不是 kelv 崩溃报告，没有可显示的内容。",
             "檔案 %1 不是 kelv 當機報告，沒有可顯示的內容。",
             "Die Datei %1 ist kein Absturzbericht von kelv, es gibt also nichts anzuzeigen.",
             "ファイル %1 は kelv のクラッシュレポートではないため、表示するものはありません。",
             "Файл %1 не является отчётом о сбое kelv, показывать нечего.",
             "%1 파일은 kelv 충돌 보고서가 아니므로 표시할 내용이 없습니다."},
            {" on %1 at %2", "（%1 %2）", "（%1 %2）", " am %1 um %2", "%1 %2 に", " %1 в %2",
             " (%1 %2)"},
            {"kelv stopped unexpectedly%1 because it %2. Changes you had not saved yet may be "
             "lost; profiles and "
             "settings that were saved are not affected. %3",
             "kelv%1意外停止，原因是它%2。"
             "尚未保存的更改可能已丢失；已保存的配置文件和设置不受影响。%3",
             "kelv%1意外停止，原因是它%2。尚未儲存的變更可能已遺失；已儲存的設定檔和設定不受影響。%"
             "3",
             "kelv wurde%1 unerwartet beendet, weil es %2. Noch nicht gespeicherte Änderungen "
             "können verloren sein; "
             "gespeicherte Profile und Einstellungen sind nicht betroffen. %3",
             "kelv は%1予期せず終了しました。原因：%2。"
             "保存していない変更は失われた可能性があります。"
             "保存済みのプロファイルと設定には影響ありません。%3",
             "kelv неожиданно завершилась%1: программа %2. Несохранённые изменения могут быть "
             "потеряны; сохранённые "
             "профили и настройки не затронуты. %3",
             "kelv가%1 예기치 않게 종료되었습니다. 원인: %2. 저장하지 않은 변경 사항은 사라졌을 수 "
             "있으며, 저장된 프로필과 설정은 영향을 받지 않습니다. %3"},
            {"\n\nA report of what happened was saved as %1. If the problem comes back, copy the "
             "report and send it "
             "with your support request.",
             "\n\n发生的情况已保存为报告 %1。如果问题再次出现，请复制该报告并随支持请求一起发送。",
             "\n\n發生的情況已儲存為報告 %1。如果問題再次出現，請複製該報告並隨支援請求一起傳送。",
             "\n\nEin Bericht über den Vorfall wurde als %1 gespeichert. Tritt das Problem wieder "
             "auf, kopieren Sie "
             "den Bericht und senden Sie ihn mit Ihrer Supportanfrage.",
             "\n\n発生した内容のレポートを %1 "
             "に保存しました。問題が再発した場合は、レポートをコピーしてサポートへの問い合わせに"
             "添えてください。",
             "\n\nОтчёт о случившемся сохранён как %1. Если проблема повторится, скопируйте отчёт "
             "и приложите его к "
             "обращению в поддержку.",
             "\n\n발생한 내용의 보고서를 %1(으)로 저장했습니다. 문제가 다시 생기면 보고서를 복사해 "
             "지원 요청과 함께 보내세요."},
            {"\n\nThe report is very large; only its first %1 MB are shown.",
             "\n\n报告非常大，只显示前 %1 MB。", "\n\n報告非常大，只顯示前 %1 MB。",
             "\n\nDer Bericht ist sehr groß; nur die ersten %1 MB werden angezeigt.",
             "\n\nレポートが非常に大きいため、最初の %1 MB だけを表示しています。",
             "\n\nОтчёт очень большой; показаны только первые %1 МБ.",
             "\n\n보고서가 너무 커서 처음 %1MB만 표시합니다."},
            {"kelv crash report", "kelv 崩溃报告", "kelv 當機報告", "kelv-Absturzbericht",
             "kelv クラッシュレポート", "Отчёт о сбое kelv", "kelv 충돌 보고서"},
            {"Signal %1", "信号 %1", "訊號 %1", "Signal %1", "シグナル %1", "Сигнал %1", "신호 %1"},
            {"address %1", "地址 %1", "位址 %1", "Adresse %1", "アドレス %1", "адрес %1",
             "주소 %1"},
            {"Copy report", "复制报告", "複製報告", "Bericht kopieren", "レポートをコピー",
             "Копировать отчёт", "보고서 복사"},
            {"Open folder", "打开文件夹", "開啟資料夾", "Ordner öffnen", "フォルダーを開く",
             "Открыть папку", "폴더 열기"},
            {"Restart kelv", "重新启动 kelv", "重新啟動 kelv", "kelv neu starten", "kelv を再起動",
             "Перезапустить kelv", "kelv 다시 시작"},
            {"Close", "关闭", "關閉", "Schließen", "閉じる", "Закрыть", "닫기"},
            {"The report is on the clipboard.", "报告已复制到剪贴板。", "報告已複製到剪貼簿。",
             "Der Bericht ist in der Zwischenablage.", "レポートをクリップボードにコピーしました。",
             "Отчёт скопирован в буфер обмена.", "보고서를 클립보드에 복사했습니다."},
            {"The folder %1 could not be opened.", "无法打开文件夹 %1。", "無法開啟資料夾 %1。",
             "Der Ordner %1 konnte nicht geöffnet werden.", "フォルダー %1 を開けませんでした。",
             "Не удалось открыть папку %1.", "%1 폴더를 열 수 없습니다."},
            {"kelv could not be started from %1.", "无法从 %1 启动 kelv。", "無法從 %1 啟動 kelv。",
             "kelv konnte nicht aus %1 gestartet werden.", "%1 から kelv を起動できませんでした。",
             "Не удалось запустить kelv из %1.", "%1에서 kelv를 시작할 수 없습니다."},
        };
        // Found by the English text, or by the Simplified Chinese one: the
        // firmware messages are written in Chinese in the program.
        QHash<QString, Row> byText;
        for (const Row &row : rows) {
            byText.insert(QString::fromUtf8(row[0]), row);
            byText.insert(QString::fromUtf8(row[1]), row);
        }
        // The firmware sequence's own Chinese texts keep their historic
        // punctuation (the device manager's logs and old tests know them so);
        // they are shown as the row they stand for, with the punctuation each
        // language writes.
        const std::pair<const char *, const char *> programTexts[] = {
            {"鼠标更新失败。。。", "The mouse update failed…"},
            {"校验成功,启动设备。。。", "Check passed, starting the device…"},
        };
        for (const auto &[programText, english] : programTexts) {
            // A copy: inserting may move the table's rows.
            const Row row = byText.value(QString::fromUtf8(english));
            if (row[0])
                byText.insert(QString::fromUtf8(programText), row);
        }
        return byText;
    }();
    return table;
}

} // namespace

UiLanguage uiLanguageFromSetting(const QString &setting)
{
    if (setting == QLatin1String("zh"))
        return UiLanguage::SimplifiedChinese;
    if (setting == QLatin1String("zh-TW") || setting == QLatin1String("zh-HK"))
        return UiLanguage::TraditionalChinese;
    if (setting == QLatin1String("de-DE"))
        return UiLanguage::German;
    if (setting == QLatin1String("ja"))
        return UiLanguage::Japanese;
    if (setting == QLatin1String("ru"))
        return UiLanguage::Russian;
    if (setting == QLatin1String("ko"))
        return UiLanguage::Korean;
    return UiLanguage::English;
}

QList<QStringList> uiTextRows()
{
    QList<QStringList> rows;
    QSet<QString> seen;
    for (const Row &row : catalogue()) {
        if (seen.contains(QString::fromUtf8(row[0])))
            continue;
        seen.insert(QString::fromUtf8(row[0]));
        QStringList texts;
        for (const char *text : row)
            texts << QString::fromUtf8(text);
        rows << texts;
    }
    return rows;
}

UiLanguage uiLanguage()
{
    return g_language.load();
}

void setUiLanguage(UiLanguage language)
{
    g_language.store(language);
}

QLocale uiLocale()
{
    static const char *const names[] = {"", "zh_CN", "zh_TW", "de_DE", "ja_JP", "ru_RU", "ko_KR"};
    const UiLanguage language = uiLanguage();
    return language == UiLanguage::English
               ? QLocale()
               : QLocale(QString::fromLatin1(names[std::size_t(language)]));
}

UiLanguage settingsUiLanguage()
{
    ClientSettings settings;
    const QString relative = QStringLiteral("Resources/profiles/conf.xml");
    settings.load(userFolders().perUser() ? userFolders().profilePath(relative)
                                          : workingFolder() + relative);
    return uiLanguageFromSetting(settings.value(QStringLiteral("language")));
}

bool useQtTranslations(UiLanguage language)
{
    static QTranslator *installed = nullptr;
    static UiLanguage installedLanguage = UiLanguage::English;
    if (installed && installedLanguage == language)
        return true;
    if (installed) {
        QCoreApplication::removeTranslator(installed);
        delete installed;
        installed = nullptr;
    }
    static const char *const names[] = {"",          "qtbase_zh_CN", "qtbase_zh_TW", "qtbase_de",
                                        "qtbase_ja", "qtbase_ru",    "qtbase_ko"};
    const QString name = QString::fromLatin1(names[std::size_t(language)]);
    if (name.isEmpty())
        return false;
    // A program folder may bring its own copy (the Windows installer does).
    const QStringList folders = {QCoreApplication::applicationDirPath() +
                                     QStringLiteral("/translations"),
                                 QLibraryInfo::path(QLibraryInfo::TranslationsPath)};
    auto translator = std::make_unique<QTranslator>();
    for (const QString &folder : folders) {
        if (translator->load(name, folder)) {
            installed = translator.release();
            installedLanguage = language;
            QCoreApplication::installTranslator(installed);
            return true;
        }
    }
    return false;
}

QString uiText(const QString &source, UiLanguage language)
{
    const auto it = catalogue().constFind(source);
    if (it == catalogue().constEnd())
        return source;
    return QString::fromUtf8(it.value()[std::size_t(language)]);
}

} // namespace kelv
