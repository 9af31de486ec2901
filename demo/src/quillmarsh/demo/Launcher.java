// The demonstration launcher jar: shows the device fingerprint it inherited from the shell and the Java
// version it runs on, in a small window and on its console (the shell's java_console.log).
// Without either variable it says so on standard error and exits with code 3.
// Optional: QUILLMARSH_DEMO_SECONDS=N   end by itself (code 0) after N seconds; default: when the window
//                                       is closed or the process is ended
//           QUILLMARSH_DEMO_EXIT_CODE=N end at once with code N after printing (a client that dies early)
package quillmarsh.demo;

import java.awt.BorderLayout;
import java.awt.Font;
import java.awt.GraphicsEnvironment;
import java.awt.GridLayout;
import javax.swing.BorderFactory;
import javax.swing.JFrame;
import javax.swing.JLabel;
import javax.swing.JPanel;
import javax.swing.SwingUtilities;
import javax.swing.WindowConstants;

public final class Launcher {
    static final String TITLE = "Quillmarsh Launcher (demo client)";
    /** Exit code when the shell did not hand over the fingerprint. */
    static final int EXIT_NO_FINGERPRINT = 3;

    private Launcher() {}

    public static void main(String[] args) throws Exception {
        String hwid = System.getenv("QUILLMARSH_HWID");
        String sig = System.getenv("QUILLMARSH_HWID_SIG");
        String version = System.getProperty("java.version") + " (" + System.getProperty("java.vm.name") + ")";
        System.out.println(TITLE);
        System.out.println("Java version: " + version);
        if (hwid == null || hwid.isEmpty() || sig == null || sig.isEmpty()) {
            String missing = (hwid == null || hwid.isEmpty()) ? "QUILLMARSH_HWID" : "QUILLMARSH_HWID_SIG";
            System.err.println("Error: " + missing + " is not set. Start the game from the Quillmarsh launcher.");
            System.exit(EXIT_NO_FINGERPRINT);
        }
        System.out.println("QUILLMARSH_HWID=" + hwid);
        System.out.println("QUILLMARSH_HWID_SIG=" + sig);
        System.out.flush();

        // For trying the shell's early-exit path with a real client: end at once with the given code.
        String crash = System.getenv("QUILLMARSH_DEMO_EXIT_CODE");
        if (crash != null && !crash.isEmpty()) {
            System.err.println("Demo client: ending at once with exit code " + crash.trim() + " as asked.");
            System.exit(Integer.parseInt(crash.trim()));
        }

        long seconds = 0;  // 0: until the window is closed (or the process is ended)
        String limit = System.getenv("QUILLMARSH_DEMO_SECONDS");
        if (limit != null && !limit.isEmpty()) seconds = Long.parseLong(limit.trim());

        if (GraphicsEnvironment.isHeadless()) {
            System.out.println("No display: running without a window.");
        } else {
            SwingUtilities.invokeAndWait(() -> show(hwid, sig, version));
            System.out.println("Window shown.");
        }
        System.out.flush();
        if (seconds > 0) {
            Thread.sleep(seconds * 1000);
            System.out.println("Demo time over, exiting.");
            System.exit(0);
        }
        if (GraphicsEnvironment.isHeadless()) {
            Thread.sleep(Long.MAX_VALUE);
        }
    }

    private static void show(String hwid, String sig, String version) {
        JFrame frame = new JFrame(TITLE);
        frame.setDefaultCloseOperation(WindowConstants.EXIT_ON_CLOSE);
        JPanel rows = new JPanel(new GridLayout(0, 1, 0, 6));
        rows.setBorder(BorderFactory.createEmptyBorder(16, 16, 16, 16));
        JLabel heading = new JLabel("The launcher jar is running.");
        heading.setFont(heading.getFont().deriveFont(Font.BOLD, 16f));
        rows.add(heading);
        rows.add(new JLabel("Java version: " + version));
        rows.add(new JLabel("QUILLMARSH_HWID:"));
        rows.add(mono(hwid));
        rows.add(new JLabel("QUILLMARSH_HWID_SIG:"));
        rows.add(mono(sig));
        frame.getContentPane().add(rows, BorderLayout.CENTER);
        frame.pack();
        frame.setLocationRelativeTo(null);
        frame.setVisible(true);
    }

    private static JLabel mono(String text) {
        JLabel label = new JLabel(text);
        label.setFont(new Font(Font.MONOSPACED, Font.PLAIN, 12));
        return label;
    }
}
