<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_CN">
<context>
    <name>velmoractl</name>
    <message>
        <location filename="../../app/ControlCommand.cpp" line="+166"/>
        <source>unknown option %1</source>
        <translation>未知选项 %1</translation>
    </message>
    <message>
        <location line="+5"/>
        <source>no command given</source>
        <translation>没有给出命令</translation>
    </message>
    <message>
        <location line="+7"/>
        <location line="+19"/>
        <source>wrong arguments for %1</source>
        <translation>%1 的参数不对</translation>
    </message>
    <message>
        <location line="+7"/>
        <source>no display platform in this session</source>
        <translation>此会话中没有可用的显示平台</translation>
    </message>
    <message>
        <location line="+4"/>
        <source>the display cannot be read</source>
        <translation>无法读取显示设置</translation>
    </message>
    <message>
        <location line="+45"/>
        <source>no monitor %1 (velmoractl list shows them)</source>
        <translation>没有显示器 %1（velmoractl list 列出所有显示器）</translation>
    </message>
    <message>
        <location line="+69"/>
        <source>on</source>
        <translation>开</translation>
    </message>
    <message>
        <location line="+0"/>
        <source>off</source>
        <translation>关</translation>
    </message>
    <message>
        <location line="+0"/>
        <source>primary</source>
        <translation>主显示器</translation>
    </message>
    <message>
        <location line="+3"/>
        <source>held %1</source>
        <translation>锁定于 %1</translation>
    </message>
    <message>
        <location line="+55"/>
        <source>Velmora runs but does not answer</source>
        <translation>Velmora 正在运行但没有应答</translation>
    </message>
    <message>
        <location line="+24"/>
        <source>velmoractl: Velmora is not running</source>
        <translation>velmoractl：Velmora 没有运行</translation>
    </message>
    <message>
        <location line="+7"/>
        <source>Velmora&apos;s answer is not understood</source>
        <translation>无法理解 Velmora 的应答</translation>
    </message>
    <message>
        <location line="+10"/>
        <source>Velmora runs and holds nothing</source>
        <translation>Velmora 正在运行，没有锁定任何显示器</translation>
    </message>
    <message>
        <location line="+8"/>
        <source>arrangement of %1</source>
        <translation>%1 的排列</translation>
    </message>
    <message>
        <location line="+8"/>
        <source> (primary)</source>
        <translation>（主显示器）</translation>
    </message>
    <message>
        <location line="+164"/>
        <source>fewer than two monitors are on: there is no arrangement to hold</source>
        <translation>正在使用的显示器少于两台：没有可保持的排列</translation>
    </message>
    <message>
        <location line="+4"/>
        <source>a monitor&apos;s mode cannot be read: nothing is held</source>
        <translation>无法读取某台显示器的模式：未保持任何设置</translation>
    </message>
    <message>
        <location line="+1"/>
        <location line="+5"/>
        <source>the arrangement of %1 monitors held</source>
        <translation>已保持 %1 台显示器的排列</translation>
    </message>
    <message>
        <location line="+10"/>
        <source>the arrangement of the monitors on now is not held</source>
        <translation>当前显示器的排列未被保持</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>the arrangement let go</source>
        <translation>已释放排列</translation>
    </message>
    <message>
        <location line="+9"/>
        <source>%1 is no PROGRAM: the file name alone, without a folder</source>
        <translation>%1 不是 PROGRAM：只写文件名，不带文件夹</translation>
    </message>
    <message>
        <location line="+9"/>
        <source>%1 is not allowed</source>
        <translation>%1 不在允许列表中</translation>
    </message>
    <message>
        <location line="+9"/>
        <source>%1 allowed: while it runs, Velmora puts nothing back</source>
        <translation>已允许 %1：它运行期间，Velmora 不恢复任何设置</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>%1 no longer allowed</source>
        <translation>已不再允许 %1</translation>
    </message>
    <message>
        <location line="+24"/>
        <source>no program is allowed to change the mode</source>
        <translation>没有允许更改显示模式的程序</translation>
    </message>
    <message>
        <location line="-245"/>
        <location line="+10"/>
        <source>last restored %1</source>
        <translation>上次恢复于 %1</translation>
    </message>
    <message>
        <location line="-9"/>
        <location line="+10"/>
        <source>never restored</source>
        <translation>尚未恢复过</translation>
    </message>
    <message>
        <location line="-49"/>
        <location line="+271"/>
        <source>Velmora refused: %1</source>
        <translation>Velmora 拒绝：%1</translation>
    </message>
    <message>
        <location line="-212"/>
        <location line="+4"/>
        <source>%1 held at %2</source>
        <translation>%1 已锁定于 %2</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>Velmora is not running; started with -d it holds %1, the primary monitor, in the mode it is in then</source>
        <translation>Velmora 未运行；以 -d 启动时，它按当时的模式保持主显示器 %1</translation>
    </message>
    <message>
        <location line="+1"/>
        <location line="+149"/>
        <source>Velmora is not running; the hold starts with it (velmora -d)</source>
        <translation>Velmora 没有运行；锁定将随它一起开始（velmora -d）</translation>
    </message>
    <message>
        <location line="-141"/>
        <source>%1 is no MODE (WIDTHxHEIGHT[@HZ][:BPP])</source>
        <translation>%1 不是显示模式（宽x高[@刷新率][:颜色位数]）</translation>
    </message>
    <message>
        <location line="+10"/>
        <source>%1 is off or cannot be read: nothing is held</source>
        <translation>%1 已关闭或无法读取：没有锁定任何模式</translation>
    </message>
    <message>
        <location line="+6"/>
        <source>%1 does not offer %2 (velmoractl list %3 shows what it does)</source>
        <translation>%1 不提供 %2（velmoractl list %3 列出它提供的模式）</translation>
    </message>
    <message>
        <location line="+34"/>
        <source>the display refused %1 on %2</source>
        <translation>显示器 %2 拒绝了 %1</translation>
    </message>
    <message>
        <location line="-6"/>
        <source>not kept, and %1 did not go back to %2</source>
        <translation>未保留，但 %1 没有恢复到 %2</translation>
    </message>
    <message>
        <location line="-375"/>
        <source>Usage: velmoractl [--json] list [MONITOR]
       velmoractl [--json] status
       velmoractl hold MONITOR [MODE] [--yes]
       velmoractl release MONITOR | --all
       velmoractl hold --arrangement | release --arrangement
       velmoractl allow PROGRAM | disallow PROGRAM | [--json] allowed
MONITOR: a connector (DP-1, DUMMY1, DISPLAY2), an identity as list prints it, or primary.
MODE: WIDTHxHEIGHT[@HZ][:BPP], e.g. 1920x1080@60 or 1920x1080@60:32.
PROGRAM: an executable&apos;s file name, e.g. eldenring.exe: while it runs, nothing is put back.</source>
        <translation>用法：velmoractl [--json] list [MONITOR]
       velmoractl [--json] status
       velmoractl hold MONITOR [MODE] [--yes]
       velmoractl release MONITOR | --all
       velmoractl hold --arrangement | release --arrangement
       velmoractl allow PROGRAM | disallow PROGRAM | [--json] allowed
MONITOR：接口名（DP-1、DUMMY1、DISPLAY2）、list 列出的显示器标识，或 primary。
MODE：宽x高[@刷新率][:颜色位数]，例如 1920x1080@60 或 1920x1080@60:32。
PROGRAM：可执行文件的文件名，例如 eldenring.exe：它运行期间不恢复任何设置。</translation>
    </message>
    <message>
        <location line="+379"/>
        <source>not kept: %1 is back in %2, nothing new is held</source>
        <translation>未保留：%1 已恢复到 %2，没有锁定新的模式</translation>
    </message>
    <message>
        <location line="+10"/>
        <source>Keep this mode? [y/N] </source>
        <translation>是否保留此显示模式？15秒后恢复原设置 [y/N] </translation>
    </message>
    <message>
        <location line="+22"/>
        <location line="+8"/>
        <source>%1 let go</source>
        <translation>%1 已解除锁定</translation>
    </message>
    <message>
        <location line="-4"/>
        <source>Velmora is not running; it holds %1, the primary monitor, again when it starts with -d</source>
        <translation>Velmora 没有运行；它以 -d 启动时会再次锁定主显示器 %1</translation>
    </message>
    <message>
        <location line="+12"/>
        <source>every monitor let go</source>
        <translation>所有显示器已解除锁定</translation>
    </message>
    <message>
        <location line="+8"/>
        <source>every monitor let go; Velmora is not running, and holds the primary monitor again when it starts with -d</source>
        <translation>所有显示器已解除锁定；Velmora 没有运行，它以 -d 启动时会再次锁定主显示器</translation>
    </message>
</context>
</TS>
