// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QDateTime>
#include <QString>
#include <QUrl>

#include <optional>

// The status-line texts of the work list, exactly as the user reads them.
namespace Messages {

using namespace Qt::StringLiterals;

inline const QString Welcome = u"拖入视频或照片，或点击「添加文件」开始"_s;
inline const QString NothingAdded = u"没有新增：文件已在列表中，或不在当前「处理对象」选择的格式范围内"_s;
inline const QString ListCleared = u"列表已清空，可导入新的素材或文件夹"_s;
inline const QString ListAlreadyEmpty = u"列表已经是空的"_s;

// Seconds as a short text: "1 秒", "1 分 1 秒", "1 分钟", "2 小时 2 分".
QString etaText(double seconds);

// "分析中 3/10：clip.mp4", with the average and the time to go once an item has succeeded; position
// counts the items finished before.
QString progress(qsizetype position, qsizetype total, const QString& fileName, std::optional<double> average);

// While a run waits for the server to take requests again.
inline QString serverBusy(qint64 seconds)
{
    return u"服务器繁忙，"_s + QString::number(seconds) + u" 秒后重试…"_s;
}

QString analysisFinished(qsizetype successes, qsizetype total, double elapsedSeconds, bool listChanged);
// The same summary for a run the user stopped.
QString analysisStopped(qsizetype successes, qsizetype total, double elapsedSeconds, bool listChanged);

// While an import walks its folders, then while it reads the capture dates.
inline QString importing(qsizetype found)
{
    return u"正在导入：已找到 "_s + QString::number(found) + u" 个素材…"_s;
}
inline QString importingDates(qsizetype done, qsizetype total)
{
    return u"正在导入：已读取 "_s + QString::number(done) + u'/' + QString::number(total)
        + u" 个素材的拍摄日期…"_s;
}

inline QString settingsMovedAside(const QString& movedTo)
{
    return u"设置文件已损坏，已另存为 "_s + movedTo + u"，本次使用默认设置"_s;
}

inline const QString InterruptedRenameRecovered
    = u"上次的重命名被中断，已恢复它的撤销记录：点「撤销」可把那些文件改回原名"_s;

inline QString restored(qsizetype count)
{
    return u"已恢复上次的列表：%1 个素材"_s.arg(count);
}
inline QString storedResults(qint64 count, qint64 bytes)
{
    return u"已保存的分析结果：%1 个（约 %2 MB）"_s.arg(count).arg(
        double(bytes) / (1024.0 * 1024.0), 0, 'f', 1);
}
inline QString forgetQuestion(qint64 count)
{
    return u"要清除已保存的 %1 个分析结果和手动修改的内容吗？当前列表和撤销记录会保留。"_s.arg(count);
}
inline QString forgotten(qint64 count)
{
    return u"已清除 %1 个保存的分析结果"_s.arg(count);
}
inline const QString CatalogueUnavailable = u"保存分析结果的文件无法使用，没有清除任何内容"_s;
inline const QString FileGone = u"文件已不在原处（可能被移动或删除）"_s;

inline const QString NothingToRename = u"没有需要重命名的项"_s;
// An item whose file Velmora renamed before and that has its proposed name already.
inline const QString AlreadyNamed = u"已是建议的名称"_s;
inline const QString NothingToUndo = u"没有可撤销的操作"_s;

inline QString placesFilled(qsizetype count)
{
    return u"已从素材目录名补全 "_s + QString::number(count) + u" 个条目的地点，检查无误后可执行重命名"_s;
}

// With failed > 0, what failed is said too; the reasons are on the items.
inline QString renamed(qsizetype count, qsizetype failed = 0)
{
    const QString failures
        = failed > 0 ? u"，"_s + QString::number(failed) + u" 个失败（原因见各项）"_s : QString();
    if (count == 0 && failed > 0)
        return u"没有文件被重命名"_s + failures;
    return u"已重命名 "_s + QString::number(count) + u" 个（可一键撤销）"_s + failures;
}

inline QString undone(qsizetype count)
{
    return u"已撤销 "_s + QString::number(count) + u" 个文件的重命名"_s;
}
// The same, naming the batch by the local time it ran: "…（2026-12-07 14:03 的那一批）".
inline QString undone(qsizetype count, const QDateTime& batch)
{
    return undone(count) + u"（"_s + batch.toLocalTime().toString(u"yyyy-MM-dd HH:mm"_s) + u" 的那一批）"_s;
}

// When a non-empty key would go over plain http:// to a host other than this machine: the warning, else
// nothing. For the online engine's address.
std::optional<QString> plainTextKeyWarning(const QUrl& url, const QString& key);

// The readiness hints of the local model server.
// The local model server's official installer for Linux.
inline const QString InstallCommand = u"curl -fsSL https://ollama.com/install.sh | sh"_s;
inline const QString NotInstalledHint = u"未检测到 Ollama，请先安装（"_s + InstallCommand + u"）"_s;
inline const QString NotRunningHint = u"Ollama 已安装但未运行，请在终端执行：ollama serve"_s;
inline const QString NoModelHint = u"Ollama 已运行，但尚未拉取视觉模型（ollama pull qwen2.5vl:7b）"_s;

inline const QString PullConnecting = u"正在连接 Ollama…"_s;
inline const QString PullDone = u"✅ 下载完成"_s;
inline const QString PullFailedPrefix = u"❌ 下载失败："_s;

inline const QString NoFrames = u"无法抽取帧（编码不支持或缺少读取权限）"_s;
inline const QString UnreadablePhoto = u"无法读取这张照片（格式不支持、文件损坏或缺少读取权限）"_s;
inline const QString FlatPicture = u"画面几乎是一片纯色（文件可能已损坏，或只含缩略图），没有发送给模型"_s;
inline const QString ErrorPrefix = u"错误："_s;

inline QString imported(qsizetype added, qsizetype total)
{
    return u"已导入 "_s + QString::number(added) + u" 个素材（列表共 "_s + QString::number(total)
        + u" 个）"_s;
}

inline QString removed(qsizetype count)
{
    return u"已从列表移除 "_s + QString::number(count) + u" 个（磁盘文件未被删除）"_s;
}

} // namespace Messages
