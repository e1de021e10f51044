! Writes the data files of one case with an unformatted sequential WRITE per
! record, as user programs do, and expected.txt: for each variable a
! conversion may give, a line "name type d1 d2 ..." (type: what the file
! holds), then the bits of each value in column-major order, in hexadecimal.
program write_layouts
  use, intrinsic :: ieee_arithmetic
  implicit none
  character(len=16) :: which
  character(len=5) :: step
  integer :: i, r, nx = 5, ny = 3, nz = 2, k(6, 3)
  real :: a(5, 3, 2, 4), u(4, 3, 3), v(5, 2, 6), w(4, 3, 5), m(3, 5), &
          b(2, 6), ac(5, 4)
  double precision :: t(3)
  integer(8), parameter :: p = 2_8**53
  integer(8) :: n(3, 3) = reshape([p, -p, 7_8, -huge(p) - 1, 0_8, -1_8, &
                                   p + 1, huge(p), -p - 1], [3, 3])

  call get_command_argument(1, which)
  open (11, file='expected.txt', status='replace')
  select case (trim(which))
  case ('header3d')  ! nx, ny, nz, then the steps of a 3-D field
    a = reshape([(special(i), i = 1, size(a))], shape(a))
    call create('data.dat')
    write (10) nx, ny, nz
    do r = 1, 4
      write (10) a(:, :, :, r)
    end do
    call put4('nx', 'int4', [1, 1], [nx])
    call put4('ny', 'int4', [1, 1], [ny])
    call put4('nz', 'int4', [1, 1], [nz])
    call put4('a', 'real4', shape(a), transfer(a, [0]))
    call put4('rows', 'real4', [4, 30], &
              transfer(transpose(reshape(a, [30, 4])), [0]))
  case ('mixed')
    t = [(special8(i), i = 2, 4)]
    u = reshape([(special(i), i = 1, size(u))], shape(u))
    k = reshape([(ordinal(i), i = 1, size(k))], shape(k))
    call create('data.dat')
    do r = 1, 3
      write (10) t(r), u(:, :, r), k(:, r)
    end do
    call put8('t', 'real8', [3, 1], transfer(t, [0_8]))
    call put4('u', 'real4', shape(u), transfer(u, [0]))
    call put4('k', 'int4', shape(k), reshape(k, [size(k)]))
  case ('series')  ! one file per step: its time, then two records of v
    t = [(special8(i + 4), i = 1, 3)]
    v = reshape([(special(i), i = 1, size(v))], shape(v))
    do i = 1, 3
      write (step, '(A, I0)') 'step', i
      call create(step // '.dat')
      write (10) t(i)
      write (10) v(:, :, 2 * i - 1)
      write (10) v(:, :, 2 * i)
      call put8(step // '_time', 'real8', [1, 1], [transfer(t(i), 0_8)])
      call put4(step // '_u', 'real4', [5, 2, 2], &
                transfer(v(:, :, 2 * i - 1:2 * i), [0]))
    end do
    call put8('time', 'real8', [3, 1], transfer(t, [0_8]))
    call put4('u', 'real4', shape(v), transfer(v, [0]))
  case ('single')  ! signaling NaNs too, which only a copy of the bits keeps
    m = reshape([(special(i), i = 1, size(m))], shape(m))
    m(3, 2) = transfer(int(z'7F800001'), 1.0)
    m(1, 4) = transfer(int(z'7FBFFFFF'), 1.0)
    call plain('data.dat', m)
    call put4('data', 'real4', shape(m), transfer(m, [0]))
  case ('int8')  ! within 2**53, then past it: -2**63 a double all the same
    call create('data.dat')
    do r = 1, 3
      write (10) n(:, r)
    end do
    call put8('big', 'int8', [3, 3], reshape(n, [9]))
    call put8('rows', 'int8', [3, 3], reshape(transpose(n), [9]))
  case ('star')  ! 12 values, one record longer, then a short one; one record
    w = reshape([(special(i), i = 1, size(w))], shape(w))
    call create('data.dat')
    write (10) w(:, :, 1)
    write (10) w(:, :, 2)
    write (10) w(:, :, 3), 1.5, 2.5
    write (10) w(:, :, 4)
    write (10) w(:, 1:2, 5)
    write (10) w(:, :, 5)
    call create('one.dat')
    write (10) w(:, :, 5)
    call put4('u', 'real4', [4, 3, 4], transfer(w(:, :, 1:4), [0]))
    call put4('one43', 'real4', [4, 3], transfer(w(:, :, 5), [0]))
    call put4('one232', 'real4', [2, 3, 2], transfer(w(:, :, 5), [0]))
    call put4('u44', 'real4', [4, 4, 0], [integer ::])  ! record 1 too short
  case ('several')  ! plain rows: a and c of 4 values, b of 6; none, no record
    ac = reshape([(special(i), i = 1, size(ac))], shape(ac))
    b = reshape([(special(i + 20), i = 1, size(b))], shape(b))
    call plain('a.dat', ac(1:3, :))
    call plain('b.dat', b)
    call plain('c.dat', ac(4:5, :))
    call create('none.dat')
    call put4('a', 'real4', [3, 4], transfer(ac(1:3, :), [0]))
    call put4('b', 'real4', shape(b), transfer(b, [0]))
    call put4('ac', 'real4', shape(ac), transfer(ac, [0]))
    call put4('none', 'real4', [0, 0], [integer ::])
  case default
    error stop 'unknown case'
  end select
  close (10)
  close (11)

contains

  subroutine create(file)
    character(*), intent(in) :: file
    close (10)
    open (10, file=file, form='unformatted', access='sequential', &
          status='replace')
  end subroutine create

  ! Row r of m as record r.
  subroutine plain(file, m)
    character(*), intent(in) :: file
    real, intent(in) :: m(:, :)
    call create(file)
    do r = 1, size(m, 1)
      write (10) m(r, :)
    end do
  end subroutine plain

  subroutine put4(name, type, dims, bits)
    character(*), intent(in) :: name, type
    integer, intent(in) :: dims(:), bits(:)
    write (11, '(A, 1X, A, *(1X, I0))') name, type, dims
    if (size(bits) > 0) write (11, '(Z8.8)') bits  ! not an empty line
  end subroutine put4

  subroutine put8(name, type, dims, bits)
    character(*), intent(in) :: name, type
    integer, intent(in) :: dims(:)
    integer(8), intent(in) :: bits(:)
    write (11, '(A, 1X, A, *(1X, I0))') name, type, dims
    write (11, '(Z16.16)') bits
  end subroutine put8

  ! Ordinary values with every kind of special one among them.
  real function special(k)
    integer, intent(in) :: k
    special = real(k) * 1.25 - 20.0
    select case (mod(k, 12))
    case (1); special = sign(0.0, -1.0)
    case (3); special = ieee_value(special, ieee_positive_inf)
    case (5); special = transfer(1, 1.0)  ! the smallest subnormal
    case (7); special = transfer(2143289344 + 74565, 1.0)  ! NaN, payload
    case (9); special = ieee_value(special, ieee_negative_inf)
    case (11); special = transfer(-4194304 + 291, 1.0)  ! negative NaN
    end select
  end function special

  double precision function special8(k)
    integer, intent(in) :: k
    special8 = real(k, 8) / 3d0
    select case (mod(k, 5))
    case (1); special8 = sign(0d0, -1d0)
    case (2); special8 = transfer(int(z'7FF8000000012345', 8), 1d0)
    case (3); special8 = transfer(1_8, 1d0)  ! the smallest subnormal
    end select
  end function special8

  integer function ordinal(k)
    integer, intent(in) :: k
    ordinal = k * 1000 + 7
    select case (mod(k, 4))
    case (1); ordinal = huge(1)
    case (2); ordinal = -huge(1) - 1
    case (3); ordinal = -k
    end select
  end function ordinal

end program write_layouts
